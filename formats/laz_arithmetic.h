#pragma once

// The entropy coder of compressed LAS (LAZ): an adaptive arithmetic decoder over one stream of
// bytes, its two kinds of adaptive model (of single bits, and of symbols from a small
// alphabet), and the decoder of integers that the point items send as a correction to a
// prediction.
//
// The decoder reads only the bytes it is given: past their end it reads zeros and counts them,
// so that noise ends a chunk where its bytes end instead of reading beyond them. A stream that
// the encoder wrote never needs more bytes than it has: the encoder closes it with enough bytes
// for every read of the decoder.

#include <cstddef>
#include <cstdint>
#include <vector>

// The interval of the coder is a 32-bit length that is topped up a byte at a time whenever it
// falls below 2^24.
inline constexpr std::uint32_t coder_min_length = std::uint32_t{1} << 24;
inline constexpr std::uint32_t coder_max_length = 0xFFFFFFFFu;
// Probabilities of bits are 13-bit fractions, of symbols 15-bit ones.
inline constexpr int bit_model_bits = 13;
inline constexpr int symbol_model_bits = 15;

// An adaptive model of one bit: the chance of a zero, re-estimated after a number of bits that
// grows from 4 to 64.
struct BitModel {
    BitModel() { reset(); }
    void reset();
    // Re-estimates the chance of a zero from the counts.
    void update();

    std::uint32_t zero_probability;
    std::uint32_t zero_count;
    std::uint32_t count;
    std::uint32_t cycle;
    std::uint32_t until_update;
};

// An adaptive model of symbols 0 to symbols - 1: each symbol's share of the interval (the
// 15-bit start of its share in `distribution`), re-estimated from the counts after a number of
// symbols that grows with use. `first_symbol` speeds up the search of the decoder: entry t is
// the last symbol whose share starts at or below t << table_shift. The three arrays lie in one
// block, so that a model's decoding touches few cache lines.
struct SymbolModel {
    explicit SymbolModel(std::uint32_t symbol_count);
    void reset();
    void update();

    std::uint32_t* distribution() { return storage.data(); }
    std::uint32_t* counts() { return storage.data() + symbols; }
    std::uint32_t* first_symbol() { return storage.data() + 2 * std::size_t{symbols}; }

    std::uint32_t symbols;
    std::uint32_t last_symbol;
    std::uint32_t table_shift;
    // Entries of first_symbol.
    std::uint32_t table_size;
    std::uint32_t total;
    std::uint32_t cycle;
    std::uint32_t until_update;
    std::vector<std::uint32_t> storage;
};

class ArithmeticDecoder {
public:
    // Starts decoding `size` bytes at `bytes`: the first four set the value.
    void start(const unsigned char* bytes, std::size_t size);

    std::uint32_t decode_bit(BitModel& model);
    std::uint32_t decode_symbol(SymbolModel& model);
    // A number of `bits` bits (at most 32) sent without a model.
    std::uint32_t read_bits(std::uint32_t bits);
    std::uint32_t read_short();
    std::uint32_t read_int();

    // How many bytes were read beyond the end of the stream (as zeros).
    std::size_t overrun() const { return overrun_; }
    // How many bytes of the stream were read.
    std::size_t consumed() const { return static_cast<std::size_t>(next_ - begin_); }

private:
    std::uint32_t next_byte() {
        if (next_ != end_) [[likely]] {
            return *next_++;
        }
        ++overrun_;
        return 0;
    }
    void renormalize() {
        do {
            value_ = value_ << 8 | next_byte();
            length_ <<= 8;
        } while (length_ < coder_min_length);
    }

    const unsigned char* begin_ = nullptr;
    const unsigned char* next_ = nullptr;
    const unsigned char* end_ = nullptr;
    std::size_t overrun_ = 0;
    std::uint32_t value_ = 0;
    std::uint32_t length_ = 0;
};

// Integers sent as the correction of a prediction. The correction's size in bits, k, is a
// symbol of one of `contexts` models; its value then follows, a symbol of a model of k bits
// where k is small, else its top bits so and its low bits raw. k = 0 leaves a correction of 0 or
// 1, sent as one bit. Results wrap around within `bits` bits.
class IntegerDecoder {
public:
    IntegerDecoder(std::uint32_t bits, std::uint32_t contexts);
    // Back to the models of a stream's start.
    void reset();
    std::int32_t decode(ArithmeticDecoder& decoder, std::int32_t prediction, std::uint32_t context);
    // The size in bits of the last correction, which other predictions use as their context.
    std::uint32_t last_k() const { return k_; }

    // What the matching encoder needs too.
    std::uint32_t correction_bits() const { return correction_bits_; }
    std::int32_t correction_min() const { return correction_min_; }
    std::uint32_t range() const { return range_; }
    SymbolModel& k_model(std::uint32_t context) { return k_models_[context]; }
    BitModel& zero_model() { return zero_model_; }
    SymbolModel& value_model(std::uint32_t k) { return value_models_[k - 1]; }
    // Corrections of more bits than this send the rest raw.
    static constexpr std::uint32_t modelled_bits = 8;

private:
    std::uint32_t correction_bits_;
    std::uint32_t range_;
    std::int32_t correction_min_;
    std::vector<SymbolModel> k_models_;
    BitModel zero_model_;
    // For k from 1 to correction_bits_.
    std::vector<SymbolModel> value_models_;
    std::uint32_t k_ = 0;
};
