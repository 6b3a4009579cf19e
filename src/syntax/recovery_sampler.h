// Estimates how many times a running parse entered error recovery.
//
// Each entry into recovery makes the runtime try every token of the grammar
// against every live stack version: tens of microseconds that no parse
// operation, lexed byte or allocation shows. The runtime names each entry in
// its log ("resume version:N"), but logging a whole parse would double its
// cost, so the sampler listens to one progress interval in every
// SAMPLED_BLOCK_CALLS (about 5% dearer), at an offset within each block drawn
// from the text itself, and scales what it heard up to the block. The estimate is the same
// for the same text on every machine.
//
//   RecoverySampler sampler(parser, text);
//   ... in the progress callback: sampler.on_progress();
//   sampler.finish();          // before the parser is used again
//   sampler.estimated_recoveries();
#pragma once

#include <cstdint>
#include <string_view>

#include <tree_sitter/api.h>

namespace brightloom {

class RecoverySampler {
public:
    static constexpr std::uint64_t SAMPLED_BLOCK_CALLS = 32;

    RecoverySampler(TSParser* parser, std::string_view text);
    ~RecoverySampler();
    RecoverySampler(const RecoverySampler&) = delete;
    RecoverySampler& operator=(const RecoverySampler&) = delete;

    // Called at each progress report of the parse.
    void on_progress();
    // Stops listening; the parser keeps no pointer to the sampler.
    void finish();

    std::uint64_t estimated_recoveries() const { return estimated_recoveries_; }

private:
    static void count_message(void* payload, TSLogType type, const char* message);
    std::uint64_t draw_offset();

    TSParser* parser_;
    std::uint64_t random_state_;
    std::uint64_t calls_ = 0;
    std::uint64_t next_sampled_call_ = 0;
    bool listening_ = false;
    std::uint64_t heard_recoveries_ = 0;
    std::uint64_t estimated_recoveries_ = 0;
};

}  // namespace brightloom
