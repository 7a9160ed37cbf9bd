#include <VivoziZevidodirid/PlistValue.h>
#include <gtest/gtest.h>

namespace {

PlistValue sampleTree() {
    PlistValue root = PlistValue::dictionary();
    PlistValue names = PlistValue::array();
    names.append("disk1");
    names.append("disk2");
    root.setValueForKey("Names", names);
    root.setValueForKey("Size", std::int64_t{42});
    root.setValueForKey("Ratio", 0.5);
    return root;
}

TEST(PlistValueReading, AbsentAndWrongKindReadNeutral) {
    const PlistValue absent;
    const PlistValue text("hello");
    const PlistValue tree = sampleTree();
    for (const PlistValue* value : {&absent, &text, &tree["Names"]}) {
        SCOPED_TRACE(value->description());
        EXPECT_TRUE((*value)["Containers"].isAbsent());
        EXPECT_EQ((*value)["Containers"].count(), 0u);
        EXPECT_FALSE((*value)["x"]["y"].hasPrefix("a"));
        EXPECT_EQ(value->doubleValue(), 0.0);
    }
    EXPECT_EQ(text.count(), 0u);
    EXPECT_TRUE(tree[std::size_t{0}].isAbsent()); // index into a dictionary
    EXPECT_TRUE(tree["Names"][2].isAbsent());     // past the end
    EXPECT_TRUE(tree["Names"][1].isEqualToString("disk2"));
    EXPECT_EQ(tree["Size"].doubleValue(), 42.0);
    EXPECT_EQ(tree["Ratio"].doubleValue(), 0.5);
    // Integers above INT64_MAX stay exact and unsigned.
    const PlistValue big = PlistValue::unsignedInteger(18446744073709551615ull);
    ASSERT_NE(big.integer(), nullptr);
    EXPECT_EQ(big.integer()->bits, 18446744073709551615ull);
    EXPECT_EQ(big.doubleValue(), 18446744073709551615.0);
    EXPECT_EQ(PlistValue(std::int64_t{-3}).doubleValue(), -3.0);
    EXPECT_EQ(PlistValue::unsignedInteger(5), PlistValue(std::int64_t{5}));
}

TEST(PlistValueReading, TextTests) {
    const PlistValue text("disk1s1");
    EXPECT_TRUE(text.hasPrefix("disk1") && text.hasSuffix("s1"));
    // An empty or missing argument matches nothing.
    EXPECT_FALSE(text.hasPrefix("") || text.hasSuffix("") || text.hasPrefix(std::nullopt));
    EXPECT_FALSE(text.isEqualToString(std::nullopt) || text.isEqualToString("Disk1s1"));
    EXPECT_FALSE(text.hasSuffix("xdisk1s1"));
}

TEST(PlistValueChanging, CopiesAreIndependentBothWays) {
    PlistValue original = sampleTree();
    PlistValue copy = original;
    copy.mutableObjectForKey("Names")->append("disk3");
    *copy.mutableObjectForKey("Names")->mutableObjectAtIndex(0)->mutableString() = "changed";
    EXPECT_EQ(original["Names"].count(), 2u);
    EXPECT_TRUE(original["Names"][0].isEqualToString("disk1"));
    original.setValueForKey("Added", "x");
    EXPECT_TRUE(copy["Added"].isAbsent());
    EXPECT_NE(original, copy);
}

TEST(PlistValueChanging, DictionaryKeysStayUniqueAndAbsentRemoves) {
    PlistValue dict(PlistValue::Dictionary{{"b", 1}, {"a", 2}, {"b", 3}});
    EXPECT_EQ(dict.count(), 2u);
    EXPECT_EQ(dict["b"].integerValue(), 3); // the later duplicate wins
    dict.setValueForKey("a", PlistValue());
    EXPECT_EQ(dict.count(), 1u);
    EXPECT_FALSE(PlistValue("text").setValueForKey("k", 1));
}

} // namespace
