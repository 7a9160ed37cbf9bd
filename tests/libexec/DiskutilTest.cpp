#include "support/TestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(DiskutilStandIn, AnswersTheApfsListingAndIsTheDefault) {
    const std::string standIn = std::string(VZ_LIBEXEC_BUILD_DIR) + "/diskutil";
    EXPECT_EQ(kx::defaultSystemPaths().diskutil, standIn);
    vztest::TempDir dir;
    ASSERT_EQ(std::system((standIn + " apfs list -plist > " + dir.file("out")).c_str()), 0);
    EXPECT_TRUE(PlistValue::parse(vztest::readFile(dir.file("out")))["Containers"].isArray());
}

} // namespace
