#pragma once

#include <VivoziZevidodirid/Journal.h>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::journal {

// The last kJournalOutputLimit bytes of a stream of any length, and how many came before them.
class OutputTail {
public:
    void append(std::string_view bytes) {
        total_ += bytes.size();
        if (bytes.size() >= kJournalOutputLimit) {
            kept_.assign(bytes.substr(bytes.size() - kJournalOutputLimit));
            return;
        }
        kept_.append(bytes);
        // Trimmed at twice the limit, so that each byte is moved at most once on average.
        if (kept_.size() > 2 * kJournalOutputLimit)
            kept_.erase(0, kept_.size() - kJournalOutputLimit);
    }
    std::string_view tail() const {
        const std::string_view all = kept_;
        return all.size() > kJournalOutputLimit ? all.substr(all.size() - kJournalOutputLimit)
                                                : all;
    }
    std::uint64_t omitted() const { return total_ - tail().size(); }

private:
    std::string kept_;
    std::uint64_t total_ = 0;
};

} // namespace kx::journal
