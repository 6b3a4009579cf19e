#include "recovery_sampler.h"

#include <cstring>

namespace brightloom {
namespace {

// The runtime's log line for each entry into error recovery.
constexpr std::string_view RECOVERY_MESSAGE_PREFIX = "resume version:";

// Mixes every 8 bytes of the text into the seed of the sampling offsets, so
// a text cannot be laid out to keep its costly stretches between samples
// without changing where the samples fall.
std::uint64_t text_seed(std::string_view text) {
    std::uint64_t seed = 0x9e3779b97f4a7c15u ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        seed = (seed ^ word) * 0x100000001b3u;
    }
    for (; i < text.size(); ++i) seed = (seed ^ static_cast<unsigned char>(text[i])) * 0x100000001b3u;
    return seed;
}

}  // namespace

RecoverySampler::RecoverySampler(TSParser* parser, std::string_view text)
    : parser_(parser), random_state_(text_seed(text)) {
    next_sampled_call_ = draw_offset();
}

RecoverySampler::~RecoverySampler() { finish(); }

void RecoverySampler::on_progress() {
    if (listening_) {
        ts_parser_set_logger(parser_, TSLogger{nullptr, nullptr});
        listening_ = false;
        estimated_recoveries_ += heard_recoveries_ * SAMPLED_BLOCK_CALLS;
        heard_recoveries_ = 0;
    }
    const std::uint64_t call = calls_++;
    if (call == next_sampled_call_) {
        ts_parser_set_logger(parser_, TSLogger{this, count_message});
        listening_ = true;
        next_sampled_call_ = (call / SAMPLED_BLOCK_CALLS + 1) * SAMPLED_BLOCK_CALLS + draw_offset();
    }
}

void RecoverySampler::finish() {
    if (!listening_) return;
    ts_parser_set_logger(parser_, TSLogger{nullptr, nullptr});
    listening_ = false;
    heard_recoveries_ = 0;
}

void RecoverySampler::count_message(void* payload, TSLogType type, const char* message) {
    if (type != TSLogTypeParse) return;
    if (std::strncmp(message, RECOVERY_MESSAGE_PREFIX.data(), RECOVERY_MESSAGE_PREFIX.size()) != 0) return;
    ++static_cast<RecoverySampler*>(payload)->heard_recoveries_;
}

std::uint64_t RecoverySampler::draw_offset() {
    // A 64-bit linear congruential step; the high bits are the well mixed ones.
    random_state_ = random_state_ * 6364136223846793005u + 1442695040888963407u;
    return (random_state_ >> 33) % SAMPLED_BLOCK_CALLS;
}

}  // namespace brightloom
