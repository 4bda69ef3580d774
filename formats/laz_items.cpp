#include "formats/laz_items.h"

#include <array>
#include <cstring>
#include <optional>

#include "formats/laz_arithmetic.h"

const std::uint8_t point10_return_map[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},
    {13, 1, 2, 4, 7, 11, 11, 10},    {12, 3, 4, 5, 8, 12, 12, 11},
    {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15},
};

const std::uint8_t point10_return_level[8][8] = {
    {0, 1, 2, 3, 4, 5, 6, 7}, {1, 0, 1, 2, 3, 4, 5, 6}, {2, 1, 0, 1, 2, 3, 4, 5},
    {3, 2, 1, 0, 1, 2, 3, 4}, {4, 3, 2, 1, 0, 1, 2, 3}, {5, 4, 3, 2, 1, 0, 1, 2},
    {6, 5, 4, 3, 2, 1, 0, 1}, {7, 6, 5, 4, 3, 2, 1, 0},
};

const std::uint8_t point14_return_map[16][16] = {
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5},
    {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3},
    {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5},
};

namespace {

// The return level of layered chunks: min(|n - r|, 7).
constexpr std::uint8_t point14_return_level(std::uint32_t n, std::uint32_t r) {
    const std::uint32_t difference = n > r ? n - r : r - n;
    return static_cast<std::uint8_t>(difference < 7 ? difference : 7);
}

std::int32_t load_i32(const unsigned char* p) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return static_cast<std::int32_t>(value);
}

std::uint16_t load_u16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// A byte's difference added modulo 256.
std::uint32_t add_byte(std::uint32_t base, std::uint32_t difference) {
    return (base + difference) & 0xFF;
}

std::uint32_t clamp_byte(std::int32_t value) {
    return value <= 0 ? 0 : (value >= 255 ? 255 : static_cast<std::uint32_t>(value));
}

// The k of a correction, even, and at most `limit`: the context of the coordinates after it.
std::uint32_t k_context(std::uint32_t k, std::uint32_t limit) {
    return k < limit ? k & ~1u : limit;
}

// Models that a chunk sets up only when first used: one of many, chosen by a byte of context,
// of which a file uses few. Each is made on its first use in the file.
class LazyModels {
public:
    LazyModels(std::size_t count, std::uint32_t symbols)
        : symbols_(symbols), models_(count), chunk_of_(count, 0) {}
    void next_chunk() { ++chunk_; }
    SymbolModel& operator[](std::size_t index) {
        if (chunk_of_[index] != chunk_) {
            chunk_of_[index] = chunk_;
            if (models_[index]) {
                models_[index]->reset();
            } else {
                models_[index].emplace(symbols_);
            }
        }
        return *models_[index];
    }

private:
    std::uint32_t symbols_;
    std::vector<std::optional<SymbolModel>> models_;
    std::vector<std::uint32_t> chunk_of_;
    // Starts above the 0 of chunk_of_, so that every model is reset on its first use.
    std::uint32_t chunk_ = 1;
};

// --- RGB: the same for RGB12, RGB14 and the RGB of RGBNIR14 ---

// Each colour is sent as its bytes' differences to the last colour's: one symbol says which
// of the six bytes changed and whether green and blue differ from red at all; the bytes of
// green and blue are predicted from red's change.
struct RgbModels {
    SymbolModel changed{128};
    std::array<SymbolModel, 6> bytes{SymbolModel(256), SymbolModel(256), SymbolModel(256),
                                     SymbolModel(256), SymbolModel(256), SymbolModel(256)};
    void reset() {
        changed.reset();
        for (SymbolModel& model : bytes) {
            model.reset();
        }
    }
};

void decode_rgb(ArithmeticDecoder& decoder, RgbModels& models, std::uint16_t rgb[3]) {
    const std::uint32_t changed = decoder.decode_symbol(models.changed);
    const std::uint32_t last[3] = {rgb[0], rgb[1], rgb[2]};
    std::uint32_t next[3];
    const auto low = [](std::uint32_t value) { return static_cast<std::int32_t>(value & 0xFF); };
    const auto high = [](std::uint32_t value) { return static_cast<std::int32_t>(value >> 8); };
    next[0] = (changed & 1) != 0 ? add_byte(last[0], decoder.decode_symbol(models.bytes[0]))
                                 : last[0] & 0xFF;
    next[0] |= (changed & 2) != 0
                   ? add_byte(last[0] >> 8, decoder.decode_symbol(models.bytes[1])) << 8
                   : last[0] & 0xFF00;
    if ((changed & 64) != 0) {
        std::int32_t difference = low(next[0]) - low(last[0]);
        next[1] = (changed & 4) != 0 ? add_byte(clamp_byte(difference + low(last[1])),
                                                decoder.decode_symbol(models.bytes[2]))
                                     : last[1] & 0xFF;
        if ((changed & 16) != 0) {
            difference = (difference + low(next[1]) - low(last[1])) / 2;
            next[2] = add_byte(clamp_byte(difference + low(last[2])),
                               decoder.decode_symbol(models.bytes[4]));
        } else {
            next[2] = last[2] & 0xFF;
        }
        difference = high(next[0]) - high(last[0]);
        next[1] |= (changed & 8) != 0 ? add_byte(clamp_byte(difference + high(last[1])),
                                                 decoder.decode_symbol(models.bytes[3]))
                                            << 8
                                      : last[1] & 0xFF00;
        if ((changed & 32) != 0) {
            difference = (difference + high(next[1]) - high(last[1])) / 2;
            next[2] |= add_byte(clamp_byte(difference + high(last[2])),
                                decoder.decode_symbol(models.bytes[5]))
                       << 8;
        } else {
            next[2] |= last[2] & 0xFF00;
        }
    } else {
        next[1] = next[0];
        next[2] = next[0];
    }
    for (int channel = 0; channel < 3; ++channel) {
        rgb[channel] = static_cast<std::uint16_t>(next[channel]);
    }
}

// --- Pointwise items (version 2) ---

// POINT10: x, y and z, intensity, the byte of return counts and flags, classification, scan
// angle rank, user data and point source. Differences in x and y are predicted by the median of
// the last five of the same return map, z by the last z of the same return level.
class Point10Decoder {
public:
    void start(const unsigned char* raw) {
        x_ = load_i32(raw);
        y_ = load_i32(raw + 4);
        z_ = load_i32(raw + 8);
        // The first point's intensity is not a prediction: later ones start from 0.
        intensity_ = 0;
        return_byte_ = raw[14];
        classification_ = raw[15];
        scan_angle_ = raw[16];
        user_data_ = raw[17];
        source_ = load_u16(raw + 18);
        for (int i = 0; i < 16; ++i) {
            x_diffs_[i].reset();
            y_diffs_[i].reset();
            last_intensity_[i] = 0;
        }
        for (std::int32_t& height : last_height_) {
            height = 0;
        }
        changed_.reset();
        intensity_decoder_.reset();
        scan_angle_models_[0].reset();
        scan_angle_models_[1].reset();
        source_decoder_.reset();
        return_byte_models_.next_chunk();
        classification_models_.next_chunk();
        user_data_models_.next_chunk();
        dx_.reset();
        dy_.reset();
        dz_.reset();
    }

    void decode(ArithmeticDecoder& decoder) {
        const std::uint32_t changed = decoder.decode_symbol(changed_);
        if ((changed & 32) != 0) {
            return_byte_ = decoder.decode_symbol(return_byte_models_[return_byte_]);
        }
        const std::uint32_t r = return_byte_ & 7;
        const std::uint32_t n = (return_byte_ >> 3) & 7;
        const std::uint32_t m = point10_return_map[n][r];
        const std::uint32_t l = point10_return_level[n][r];
        if (changed != 0) {
            if ((changed & 16) != 0) {
                intensity_ = static_cast<std::uint16_t>(
                    intensity_decoder_.decode(decoder, last_intensity_[m], m < 3 ? m : 3));
                last_intensity_[m] = intensity_;
            } else {
                intensity_ = last_intensity_[m];
            }
            if ((changed & 8) != 0) {
                classification_ = decoder.decode_symbol(classification_models_[classification_]);
            }
            if ((changed & 4) != 0) {
                const std::uint32_t direction = (return_byte_ >> 6) & 1;
                scan_angle_ =
                    add_byte(scan_angle_, decoder.decode_symbol(scan_angle_models_[direction]));
            }
            if ((changed & 2) != 0) {
                user_data_ = decoder.decode_symbol(user_data_models_[user_data_]);
            }
            if ((changed & 1) != 0) {
                source_ = static_cast<std::uint16_t>(source_decoder_.decode(decoder, source_, 0));
            }
        }
        const std::int32_t dx = dx_.decode(decoder, x_diffs_[m].get(), n == 1 ? 1 : 0);
        x_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(x_) +
                                       static_cast<std::uint32_t>(dx));
        x_diffs_[m].add(dx);
        const std::uint32_t single = n == 1 ? 1 : 0;
        const std::int32_t dy =
            dy_.decode(decoder, y_diffs_[m].get(), single + k_context(dx_.last_k(), 20));
        y_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(y_) +
                                       static_cast<std::uint32_t>(dy));
        y_diffs_[m].add(dy);
        const std::uint32_t k = (dx_.last_k() + dy_.last_k()) / 2;
        z_ = dz_.decode(decoder, last_height_[l], single + k_context(k, 18));
        last_height_[l] = z_;
    }

    void put(LazPoint& point) const {
        point.x = x_;
        point.y = y_;
        point.z = z_;
    }

private:
    std::int32_t x_ = 0, y_ = 0, z_ = 0;
    std::uint16_t intensity_ = 0;
    std::uint32_t return_byte_ = 0, classification_ = 0, scan_angle_ = 0, user_data_ = 0;
    std::uint16_t source_ = 0;
    Median5 x_diffs_[16];
    Median5 y_diffs_[16];
    std::uint16_t last_intensity_[16];
    std::int32_t last_height_[8];
    SymbolModel changed_{64};
    IntegerDecoder intensity_decoder_{16, 4};
    SymbolModel scan_angle_models_[2] = {SymbolModel(256), SymbolModel(256)};
    IntegerDecoder source_decoder_{16, 1};
    LazyModels return_byte_models_{256, 256};
    LazyModels classification_models_{256, 256};
    LazyModels user_data_models_{256, 256};
    IntegerDecoder dx_{32, 2};
    IntegerDecoder dy_{32, 22};
    IntegerDecoder dz_{32, 20};
};

// GPSTIME11: the time's 64 bits as an integer, predicted by up to four sequences of times, each
// with its last difference; a symbol says how the time follows (a multiple of the last
// difference, unchanged, a new sequence sent in full, or another sequence).
class GpsTimeDecoder {
public:
    // Symbols of the model of a sequence whose last difference is not 0.
    static constexpr std::uint32_t multiple_max = 500;
    static constexpr std::int32_t multiple_min = -10;
    static constexpr std::uint32_t unchanged = multiple_max - multiple_min + 1;
    static constexpr std::uint32_t sent_in_full = unchanged + 1;
    static constexpr std::uint32_t symbols = unchanged + 5;

    void start(const unsigned char* raw) {
        std::memcpy(&times_[0], raw, 8);
        for (int i = 1; i < 4; ++i) {
            times_[i] = 0;
        }
        for (int i = 0; i < 4; ++i) {
            differences_[i] = 0;
            extremes_[i] = 0;
        }
        last_ = 0;
        next_ = 0;
        multiple_.reset();
        zero_difference_.reset();
        differences_decoder_.reset();
    }

    // Fails (returns false) where the stream switches sequences more often than the encoder
    // ever does.
    bool decode(ArithmeticDecoder& decoder) {
        // A switch to another sequence is followed by that sequence's own symbol, once.
        for (int switches = 0; switches < 2; ++switches) {
            if (differences_[last_] == 0) {
                const std::uint32_t symbol = decoder.decode_symbol(zero_difference_);
                if (symbol == 1) {
                    differences_[last_] = differences_decoder_.decode(decoder, 0, 0);
                    times_[last_] += static_cast<std::uint64_t>(std::int64_t{differences_[last_]});
                    extremes_[last_] = 0;
                } else if (symbol == 2) {
                    start_sequence(decoder);
                } else if (symbol > 2) {
                    last_ = (last_ + symbol - 2) & 3;
                    continue;
                }
                return true;
            }
            const std::uint32_t symbol = decoder.decode_symbol(multiple_);
            if (symbol == sent_in_full) {
                start_sequence(decoder);
            } else if (symbol > sent_in_full) {
                last_ = (last_ + symbol - sent_in_full) & 3;
                continue;
            } else if (symbol != unchanged) {
                times_[last_] +=
                    static_cast<std::uint64_t>(std::int64_t{decode_difference(decoder, symbol)});
            }
            return true;
        }
        return false;
    }

private:
    std::int32_t times_last(std::int32_t factor) const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(factor) *
                                         static_cast<std::uint32_t>(differences_[last_]));
    }

    // A difference that is `symbol` times the last one (or near that), or unrelated to it (0).
    std::int32_t decode_difference(ArithmeticDecoder& decoder, std::uint32_t symbol) {
        if (symbol == 1) {
            extremes_[last_] = 0;
            return differences_decoder_.decode(decoder, differences_[last_], 1);
        }
        std::int32_t difference;
        bool extreme = false;
        if (symbol == 0) {
            difference = differences_decoder_.decode(decoder, 0, 7);
            extreme = true;
        } else if (symbol < multiple_max) {
            const auto multiple = static_cast<std::int32_t>(symbol);
            difference =
                differences_decoder_.decode(decoder, times_last(multiple), symbol < 10 ? 2 : 3);
        } else if (symbol == multiple_max) {
            difference = differences_decoder_.decode(
                decoder, times_last(static_cast<std::int32_t>(multiple_max)), 4);
            extreme = true;
        } else {
            const std::int32_t multiple =
                static_cast<std::int32_t>(multiple_max) - static_cast<std::int32_t>(symbol);
            if (multiple > multiple_min) {
                difference = differences_decoder_.decode(decoder, times_last(multiple), 5);
            } else {
                difference = differences_decoder_.decode(decoder, times_last(multiple_min), 6);
                extreme = true;
            }
        }
        // A sequence whose differences keep falling outside the multiples takes the latest.
        if (extreme && ++extremes_[last_] > 3) {
            differences_[last_] = difference;
            extremes_[last_] = 0;
        }
        return difference;
    }

    // A time that no sequence predicts: its high 32 bits as a difference to the last time's,
    // its low 32 bits raw, in the next of the four sequences.
    void start_sequence(ArithmeticDecoder& decoder) {
        next_ = (next_ + 1) & 3;
        const auto high = static_cast<std::uint32_t>(differences_decoder_.decode(
            decoder, static_cast<std::int32_t>(times_[last_] >> 32), 8));
        times_[next_] = std::uint64_t{high} << 32 | decoder.read_int();
        last_ = next_;
        differences_[last_] = 0;
        extremes_[last_] = 0;
    }

    std::uint64_t times_[4] = {};
    std::int32_t differences_[4] = {};
    std::int32_t extremes_[4] = {};
    std::uint32_t last_ = 0;
    std::uint32_t next_ = 0;
    SymbolModel multiple_{symbols};
    SymbolModel zero_difference_{6};
    IntegerDecoder differences_decoder_{32, 9};
};

class Rgb12Decoder {
public:
    void start(const unsigned char* raw) {
        for (std::size_t channel = 0; channel < 3; ++channel) {
            rgb_[channel] = load_u16(raw + 2 * channel);
        }
        models_.reset();
    }
    void decode(ArithmeticDecoder& decoder) { decode_rgb(decoder, models_, rgb_); }
    void put(LazPoint& point) const {
        point.red = rgb_[0];
        point.green = rgb_[1];
        point.blue = rgb_[2];
    }

private:
    std::uint16_t rgb_[3] = {};
    RgbModels models_;
};

// BYTE: bytes beyond the point format's, each the difference to the last point's.
class BytesDecoder {
public:
    explicit BytesDecoder(std::size_t count) : last_(count), models_(count, SymbolModel(256)) {}
    void start(const unsigned char* raw) {
        std::memcpy(last_.data(), raw, last_.size());
        for (SymbolModel& model : models_) {
            model.reset();
        }
    }
    void decode(ArithmeticDecoder& decoder) {
        for (std::size_t i = 0; i < last_.size(); ++i) {
            last_[i] =
                static_cast<unsigned char>(add_byte(last_[i], decoder.decode_symbol(models_[i])));
        }
    }

private:
    std::vector<unsigned char> last_;
    std::vector<SymbolModel> models_;
};

class PointwiseChunkDecoder : public ChunkDecoder {
public:
    explicit PointwiseChunkDecoder(const std::vector<LazItem>& items) : items_(items) {
        for (const LazItem& item : items_) {
            raw_size_ += item.size;
            if (item.type == LazItemType::byte) {
                bytes_ = std::make_unique<BytesDecoder>(item.size);
            }
            has_time_ = has_time_ || item.type == LazItemType::gps_time11;
            has_rgb_ = has_rgb_ || item.type == LazItemType::rgb12;
        }
    }

    const char* decode(const unsigned char* bytes, std::size_t size, std::uint32_t count,
                       LazPoint* points) override {
        if (size < raw_size_ + 4) {
            return "it is shorter than its first point";
        }
        const unsigned char* raw = bytes;
        for (const LazItem& item : items_) {
            start_item(item.type, raw);
            raw += item.size;
        }
        LazPoint point{};
        point_.put(point);
        if (has_rgb_) {
            rgb_.put(point);
        }
        points[0] = point;
        decoder_.start(raw, size - raw_size_);
        for (std::uint32_t i = 1; i < count; ++i) {
            point_.decode(decoder_);
            if (has_time_ && !time_.decode(decoder_)) {
                return "its GPS times switch sequences without end";
            }
            if (has_rgb_) {
                rgb_.decode(decoder_);
            }
            if (bytes_) {
                bytes_->decode(decoder_);
            }
            if (decoder_.overrun() != 0) {
                return "it decodes past its end";
            }
            point_.put(point);
            if (has_rgb_) {
                rgb_.put(point);
            }
            points[i] = point;
        }
        // The encoder closes a stream with exactly the bytes that the decoder reads.
        if (decoder_.consumed() != size - raw_size_) {
            return "its bytes do not end where its points do";
        }
        return nullptr;
    }

private:
    void start_item(LazItemType type, const unsigned char* raw) {
        switch (type) {
            case LazItemType::point10:
                point_.start(raw);
                break;
            case LazItemType::gps_time11:
                time_.start(raw);
                break;
            case LazItemType::rgb12:
                rgb_.start(raw);
                break;
            default:
                bytes_->start(raw);
                break;
        }
    }

    std::vector<LazItem> items_;
    std::size_t raw_size_ = 0;
    bool has_time_ = false;
    bool has_rgb_ = false;
    ArithmeticDecoder decoder_;
    Point10Decoder point_;
    GpsTimeDecoder time_;
    Rgb12Decoder rgb_;
    std::unique_ptr<BytesDecoder> bytes_;
};

// --- Layered items (version 3) ---

// What a channel predicts from: its last point's coordinates and return counts.
struct Point14Last {
    std::int32_t x, y, z;
    std::uint32_t return_number, returns;
};

// The state of POINT14's first two layers for one scanner channel: each channel predicts from
// its own last point and keeps its own models, set up when the channel first turns up.
struct Point14Channel {
    bool unused = true;
    std::int32_t x = 0, y = 0, z = 0;
    std::uint32_t return_number = 0, returns = 0;
    bool time_changed = false;
    std::array<SymbolModel, 8> changed{SymbolModel(128), SymbolModel(128), SymbolModel(128),
                                       SymbolModel(128), SymbolModel(128), SymbolModel(128),
                                       SymbolModel(128), SymbolModel(128)};
    SymbolModel channel{3};
    LazyModels returns_models{16, 16};
    LazyModels return_number_models{16, 16};
    SymbolModel return_number_same_time{13};
    IntegerDecoder dx{32, 2};
    IntegerDecoder dy{32, 22};
    IntegerDecoder dz{32, 20};
    Median5 x_diffs[12];
    Median5 y_diffs[12];
    std::int32_t last_z[8] = {};

    Point14Last last() const { return Point14Last{x, y, z, return_number, returns}; }

    // Takes up the channel with `from` as its last point.
    void start(const Point14Last& from) {
        unused = false;
        x = from.x;
        y = from.y;
        z = from.z;
        return_number = from.return_number;
        returns = from.returns;
        time_changed = false;
        for (SymbolModel& model : changed) {
            model.reset();
        }
        channel.reset();
        returns_models.next_chunk();
        return_number_models.next_chunk();
        return_number_same_time.reset();
        dx.reset();
        dy.reset();
        dz.reset();
        for (int i = 0; i < 12; ++i) {
            x_diffs[i].reset();
            y_diffs[i].reset();
        }
        for (std::int32_t& height : last_z) {
            height = z;
        }
    }
};

struct RgbChannel {
    bool unused = true;
    std::uint16_t rgb[3] = {};
    RgbModels models;
};

// Where a layer's bytes lie in the chunk; an empty layer did not change in the whole chunk.
struct Layer {
    const unsigned char* bytes;
    std::uint32_t size;
};

class LayeredChunkDecoder : public ChunkDecoder {
public:
    explicit LayeredChunkDecoder(const std::vector<LazItem>& items) : items_(items) {
        for (const LazItem& item : items_) {
            raw_size_ += item.size;
            layer_count_ += layers_of(item);
        }
        has_rgb_ = items_.size() > 1 && (items_[1].type == LazItemType::rgb14 ||
                                         items_[1].type == LazItemType::rgb_nir14);
    }

    const char* decode(const unsigned char* bytes, std::size_t size, std::uint32_t count,
                       LazPoint* points) override {
        const std::size_t header = raw_size_ + 4 + 4 * layer_count_;
        if (size < header) {
            return "it is shorter than its first point and the sizes of its layers";
        }
        start_first_point(bytes);
        LazPoint point{};
        put(point);
        points[0] = point;
        if (load_u32(bytes + raw_size_) != count) {
            return "its count of points differs from the chunk table's";
        }
        // The sizes of every item's layers, then the layers in the same order.
        const unsigned char* size_at = bytes + raw_size_ + 4;
        const unsigned char* layer_at = bytes + header;
        std::size_t left = size - header;
        std::vector<Layer>& layers = layers_;
        layers.clear();
        for (std::size_t i = 0; i < layer_count_; ++i, size_at += 4) {
            const std::uint32_t layer_size = load_u32(size_at);
            if (layer_size > left) {
                return "its layers are larger than the chunk";
            }
            layers.push_back(Layer{layer_at, layer_size});
            layer_at += layer_size;
            left -= layer_size;
        }
        if (count == 1) {
            return nullptr;
        }
        // POINT14's layers: x and y with the return counts first, then z; RGB's is the first
        // layer of the second item.
        xy_.start(layers[0].bytes, layers[0].size);
        const bool z_changes = layers[1].size != 0;
        if (z_changes) {
            z_.start(layers[1].bytes, layers[1].size);
        }
        const Layer rgb_layer = has_rgb_ ? layers[layers_of(items_[0])] : Layer{nullptr, 0};
        const bool rgb_changes = rgb_layer.size != 0;
        if (rgb_changes) {
            rgb_.start(rgb_layer.bytes, rgb_layer.size);
        }
        for (std::uint32_t i = 1; i < count; ++i) {
            Point14Channel& channel = decode_xy();
            if (z_changes) {
                const std::uint32_t k = (channel.dx.last_k() + channel.dy.last_k()) / 2;
                const std::uint32_t level =
                    point14_return_level(channel.returns, channel.return_number);
                channel.z = channel.dz.decode(z_, channel.last_z[level],
                                              (channel.returns == 1 ? 1 : 0) + k_context(k, 18));
                channel.last_z[level] = channel.z;
            }
            RgbChannel* rgb = nullptr;
            if (has_rgb_) {
                rgb = &rgb_channel();
                if (rgb_changes) {
                    decode_rgb(rgb_, rgb->models, rgb->rgb);
                }
            }
            if (xy_.overrun() != 0 || (z_changes && z_.overrun() != 0) ||
                (rgb_changes && rgb_.overrun() != 0)) {
                return "it decodes past the end of a layer";
            }
            point.x = channel.x;
            point.y = channel.y;
            point.z = channel.z;
            if (rgb != nullptr) {
                point.red = rgb->rgb[0];
                point.green = rgb->rgb[1];
                point.blue = rgb->rgb[2];
            }
            points[i] = point;
        }
        // The encoder closes a layer with exactly the bytes that the decoder reads.
        if (xy_.consumed() != layers[0].size || (z_changes && z_.consumed() != layers[1].size) ||
            (rgb_changes && rgb_.consumed() != rgb_layer.size)) {
            return "its layers do not end where its points do";
        }
        return nullptr;
    }

private:
    static std::size_t layers_of(const LazItem& item) {
        switch (item.type) {
            case LazItemType::point14:
                return 9;
            case LazItemType::rgb_nir14:
                return 2;
            case LazItemType::byte14:
                return item.size;
            default:
                return 1;
        }
    }

    static std::uint32_t load_u32(const unsigned char* p) {
        return static_cast<std::uint32_t>(load_i32(p));
    }

    void start_first_point(const unsigned char* raw) {
        const Point14Last first{load_i32(raw), load_i32(raw + 4), load_i32(raw + 8),
                                static_cast<std::uint32_t>(raw[14] & 15),
                                static_cast<std::uint32_t>(raw[14] >> 4)};
        current_ = (raw[15] >> 4) & 3;
        for (Point14Channel& channel : channels_) {
            channel.unused = true;
        }
        channels_[current_].start(first);
        for (RgbChannel& channel : rgb_channels_) {
            channel.unused = true;
        }
        rgb_current_ = current_;
        if (has_rgb_) {
            RgbChannel& rgb = rgb_channels_[current_];
            rgb.unused = false;
            for (std::size_t c = 0; c < 3; ++c) {
                rgb.rgb[c] = load_u16(raw + items_[0].size + 2 * c);
            }
            rgb.models.reset();
        }
    }

    void put(LazPoint& point) const {
        const Point14Channel& channel = channels_[current_];
        point.x = channel.x;
        point.y = channel.y;
        point.z = channel.z;
        if (has_rgb_) {
            const RgbChannel& rgb = rgb_channels_[rgb_current_];
            point.red = rgb.rgb[0];
            point.green = rgb.rgb[1];
            point.blue = rgb.rgb[2];
        }
    }

    // The first layer: which attributes changed, the scanner channel, the return counts, then
    // x and y. Returns the channel of the point, now holding it.
    Point14Channel& decode_xy() {
        Point14Channel* channel = &channels_[current_];
        // The last point's return (first, last) and whether its time changed pick the model.
        std::uint32_t last_return = channel->return_number == 1 ? 1 : 0;
        last_return += channel->return_number >= channel->returns ? 2 : 0;
        last_return += channel->time_changed ? 4 : 0;
        const std::uint32_t changed = xy_.decode_symbol(channel->changed[last_return]);
        if ((changed & 64) != 0) {
            const std::uint32_t next = (current_ + xy_.decode_symbol(channel->channel) + 1) & 3;
            if (channels_[next].unused) {
                channels_[next].start(channel->last());
            }
            current_ = next;
            channel = &channels_[current_];
        }
        const bool time_changed = (changed & 16) != 0;
        if ((changed & 4) != 0) {
            channel->returns = xy_.decode_symbol(channel->returns_models[channel->returns]);
        }
        const std::uint32_t last_r = channel->return_number;
        switch (changed & 3) {
            case 1:
                channel->return_number = (last_r + 1) & 15;
                break;
            case 2:
                channel->return_number = (last_r + 15) & 15;
                break;
            case 3:
                if (time_changed) {
                    channel->return_number =
                        xy_.decode_symbol(channel->return_number_models[last_r]);
                } else {
                    const std::uint32_t step = xy_.decode_symbol(channel->return_number_same_time);
                    channel->return_number = (last_r + step + 2) & 15;
                }
                break;
            default:
                break;
        }
        const std::uint32_t n = channel->returns;
        const std::uint32_t r = channel->return_number;
        const std::uint32_t m = point14_return_map[n][r];
        const std::uint32_t single = n == 1 ? 1 : 0;
        const std::uint32_t diffs = m << 1 | (time_changed ? 1 : 0);
        const std::int32_t dx = channel->dx.decode(xy_, channel->x_diffs[diffs].get(), single);
        channel->x = static_cast<std::int32_t>(static_cast<std::uint32_t>(channel->x) +
                                               static_cast<std::uint32_t>(dx));
        channel->x_diffs[diffs].add(dx);
        const std::int32_t dy = channel->dy.decode(xy_, channel->y_diffs[diffs].get(),
                                                   single + k_context(channel->dx.last_k(), 20));
        channel->y = static_cast<std::int32_t>(static_cast<std::uint32_t>(channel->y) +
                                               static_cast<std::uint32_t>(dy));
        channel->y_diffs[diffs].add(dy);
        channel->time_changed = time_changed;
        return *channel;
    }

    // The colour's channel follows the point's: a channel's first colour is the last one's.
    RgbChannel& rgb_channel() {
        if (rgb_current_ != current_) {
            RgbChannel& from = rgb_channels_[rgb_current_];
            RgbChannel& to = rgb_channels_[current_];
            if (to.unused) {
                to.unused = false;
                std::memcpy(to.rgb, from.rgb, sizeof to.rgb);
                to.models.reset();
            }
            rgb_current_ = current_;
        }
        return rgb_channels_[rgb_current_];
    }

    std::vector<LazItem> items_;
    std::size_t raw_size_ = 0;
    std::size_t layer_count_ = 0;
    bool has_rgb_ = false;
    std::vector<Layer> layers_;
    ArithmeticDecoder xy_;
    ArithmeticDecoder z_;
    ArithmeticDecoder rgb_;
    std::array<Point14Channel, 4> channels_;
    std::array<RgbChannel, 4> rgb_channels_;
    std::uint32_t current_ = 0;
    std::uint32_t rgb_current_ = 0;
};

}  // namespace

void Median5::add(std::int32_t value) {
    std::int32_t* v = values;
    if (high) {
        if (value < v[2]) {
            v[4] = v[3];
            v[3] = v[2];
            if (value < v[0]) {
                v[2] = v[1];
                v[1] = v[0];
                v[0] = value;
            } else if (value < v[1]) {
                v[2] = v[1];
                v[1] = value;
            } else {
                v[2] = value;
            }
        } else {
            if (value < v[3]) {
                v[4] = v[3];
                v[3] = value;
            } else {
                v[4] = value;
            }
            high = false;
        }
    } else {
        if (v[2] < value) {
            v[0] = v[1];
            v[1] = v[2];
            if (v[4] < value) {
                v[2] = v[3];
                v[3] = v[4];
                v[4] = value;
            } else if (v[3] < value) {
                v[2] = v[3];
                v[3] = value;
            } else {
                v[2] = value;
            }
        } else {
            if (v[1] < value) {
                v[0] = v[1];
                v[1] = value;
            } else {
                v[0] = value;
            }
            high = true;
        }
    }
}

std::unique_ptr<ChunkDecoder> make_chunk_decoder(const std::vector<LazItem>& items, bool layered) {
    if (layered) {
        return std::make_unique<LayeredChunkDecoder>(items);
    }
    return std::make_unique<PointwiseChunkDecoder>(items);
}
