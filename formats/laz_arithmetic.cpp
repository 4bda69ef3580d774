#include "formats/laz_arithmetic.h"

#include <algorithm>

namespace {

// The counts are halved when their total passes this, so that the models follow the data.
constexpr std::uint32_t bit_model_max_count = std::uint32_t{1} << bit_model_bits;
constexpr std::uint32_t symbol_model_max_count = std::uint32_t{1} << symbol_model_bits;

}  // namespace

void BitModel::reset() {
    zero_count = 1;
    count = 2;
    zero_probability = std::uint32_t{1} << (bit_model_bits - 1);
    cycle = 4;
    until_update = 4;
}

void BitModel::update() {
    count += cycle;
    if (count > bit_model_max_count) {
        count = (count + 1) >> 1;
        zero_count = (zero_count + 1) >> 1;
        // A zero keeps some chance of a one.
        if (zero_count == count) {
            ++count;
        }
    }
    const std::uint32_t scale = 0x80000000u / count;
    zero_probability = (zero_count * scale) >> (31 - bit_model_bits);
    cycle = std::min<std::uint32_t>((5 * cycle) >> 2, 64);
    until_update = cycle;
}

SymbolModel::SymbolModel(std::uint32_t symbol_count)
    : symbols(symbol_count), last_symbol(symbol_count - 1) {
    std::uint32_t table_bits = 3;
    while (symbols > (std::uint32_t{1} << (table_bits + 2))) {
        ++table_bits;
    }
    table_shift = symbol_model_bits - table_bits;
    // Two more entries than the table's steps: a value may reach a little past 2^15.
    table_size = (std::uint32_t{1} << table_bits) + 2;
    storage.resize(2 * std::size_t{symbols} + table_size);
    reset();
}

void SymbolModel::reset() {
    std::fill(counts(), counts() + symbols, 1u);
    total = 0;
    cycle = symbols;
    update();
    cycle = (symbols + 6) >> 1;
    until_update = cycle;
}

void SymbolModel::update() {
    std::uint32_t* const count = counts();
    std::uint32_t* const start = distribution();
    std::uint32_t* const first = first_symbol();
    total += cycle;
    if (total > symbol_model_max_count) {
        total = 0;
        for (std::uint32_t symbol = 0; symbol < symbols; ++symbol) {
            count[symbol] = (count[symbol] + 1) >> 1;
            total += count[symbol];
        }
    }
    const std::uint32_t scale = 0x80000000u / total;
    std::uint32_t sum = 0;
    std::uint32_t step = 0;
    for (std::uint32_t symbol = 0; symbol < symbols; ++symbol) {
        start[symbol] = (scale * sum) >> (31 - symbol_model_bits);
        sum += count[symbol];
        // The steps that lie below this symbol's start belong to the symbol before it.
        while (step < table_size && (step << table_shift) < start[symbol]) {
            first[step++] = symbol - 1;
        }
    }
    while (step < table_size) {
        first[step++] = last_symbol;
    }
    cycle = std::min((5 * cycle) >> 2, (symbols + 6) << 3);
    until_update = cycle;
}

void ArithmeticDecoder::start(const unsigned char* bytes, std::size_t size) {
    begin_ = bytes;
    next_ = bytes;
    end_ = bytes + size;
    overrun_ = 0;
    length_ = coder_max_length;
    value_ = 0;
    for (int i = 0; i < 4; ++i) {
        value_ = value_ << 8 | next_byte();
    }
}

std::uint32_t ArithmeticDecoder::decode_bit(BitModel& model) {
    const std::uint32_t split = model.zero_probability * (length_ >> bit_model_bits);
    std::uint32_t bit;
    if (value_ < split) {
        bit = 0;
        length_ = split;
        ++model.zero_count;
    } else {
        bit = 1;
        value_ -= split;
        length_ -= split;
    }
    if (length_ < coder_min_length) {
        renormalize();
    }
    if (--model.until_update == 0) {
        model.update();
    }
    return bit;
}

std::uint32_t ArithmeticDecoder::decode_symbol(SymbolModel& model) {
    const std::uint32_t unit = length_ >> symbol_model_bits;
    // The symbol is the last whose share starts at or below the value, in units of the length.
    const std::uint32_t target = value_ / unit;
    const std::uint32_t* const distribution = model.distribution();
    const std::uint32_t* const first = model.first_symbol();
    const std::uint32_t step = std::min(target >> model.table_shift, model.table_size - 2);
    std::uint32_t symbol = first[step];
    std::uint32_t last = first[step + 1];
    // Mostly a symbol or two share a step of the table; where many rare ones do, halve them
    // down to a few first.
    while (last - symbol > 8) {
        const std::uint32_t middle = (symbol + last + 1) >> 1;
        if (distribution[middle] <= target) {
            symbol = middle;
        } else {
            last = middle - 1;
        }
    }
    while (symbol < last && distribution[symbol + 1] <= target) {
        ++symbol;
    }
    const std::uint32_t start = distribution[symbol] * unit;
    const std::uint32_t end =
        symbol == model.last_symbol ? length_ : distribution[symbol + 1] * unit;
    value_ -= start;
    length_ = end - start;
    if (length_ < coder_min_length) {
        renormalize();
    }
    ++model.counts()[symbol];
    if (--model.until_update == 0) {
        model.update();
    }
    return symbol;
}

std::uint32_t ArithmeticDecoder::read_bits(std::uint32_t bits) {
    if (bits > 19) {
        const std::uint32_t low = read_short();
        return read_bits(bits - 16) << 16 | low;
    }
    length_ >>= bits;
    const std::uint32_t value = value_ / length_;
    value_ -= length_ * value;
    if (length_ < coder_min_length) {
        renormalize();
    }
    return value;
}

std::uint32_t ArithmeticDecoder::read_short() { return read_bits(16); }

std::uint32_t ArithmeticDecoder::read_int() {
    const std::uint32_t low = read_short();
    return read_short() << 16 | low;
}

IntegerDecoder::IntegerDecoder(std::uint32_t bits, std::uint32_t contexts) {
    if (bits >= 1 && bits < 32) {
        correction_bits_ = bits;
        range_ = std::uint32_t{1} << bits;
        correction_min_ = -static_cast<std::int32_t>(range_ / 2);
    } else {
        correction_bits_ = 32;
        range_ = 0;
        correction_min_ = INT32_MIN;
    }
    k_models_.assign(contexts, SymbolModel(correction_bits_ + 1));
    value_models_.reserve(correction_bits_);
    for (std::uint32_t k = 1; k <= correction_bits_; ++k) {
        value_models_.emplace_back(std::uint32_t{1} << std::min(k, modelled_bits));
    }
}

void IntegerDecoder::reset() {
    for (SymbolModel& model : k_models_) {
        model.reset();
    }
    zero_model_.reset();
    for (SymbolModel& model : value_models_) {
        model.reset();
    }
    k_ = 0;
}

std::int32_t IntegerDecoder::decode(ArithmeticDecoder& decoder, std::int32_t prediction,
                                    std::uint32_t context) {
    k_ = decoder.decode_symbol(k_models_[context]);
    // The correction, in 32-bit two's complement.
    std::uint32_t correction;
    if (k_ == 0) {
        correction = decoder.decode_bit(zero_model_);
    } else if (k_ < 32) {
        std::uint32_t value;
        if (k_ <= modelled_bits) {
            value = decoder.decode_symbol(value_models_[k_ - 1]);
        } else {
            const std::uint32_t raw_bits = k_ - modelled_bits;
            value = decoder.decode_symbol(value_models_[k_ - 1]) << raw_bits;
            value |= decoder.read_bits(raw_bits);
        }
        // k bits cover the corrections from 2^(k-1) + 1 to 2^k and from -(2^k - 1) to -2^(k-1):
        // the upper half of the values are the positive ones.
        const std::uint32_t half = std::uint32_t{1} << (k_ - 1);
        correction = value >= half ? value + 1 : value - ((std::uint32_t{1} << k_) - 1);
    } else {
        correction = static_cast<std::uint32_t>(correction_min_);
    }
    std::uint32_t real = static_cast<std::uint32_t>(prediction) + correction;
    if (range_ != 0) {
        if (static_cast<std::int32_t>(real) < 0) {
            real += range_;
        } else if (real >= range_) {
            real -= range_;
        }
    }
    return static_cast<std::int32_t>(real);
}
