#include "tests/laz_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

#include "formats/laz_arithmetic.h"
#include "formats/laz_items.h"

namespace {

template <typename T>
void put(std::string& out, T value) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(reinterpret_cast<const char*>(bytes), sizeof(T));
}

// The encoder whose every step the decoder undoes: the same interval, split the same way, its
// top bytes written out as they settle.
class ArithmeticEncoder {
public:
    void encode_bit(BitModel& model, std::uint32_t bit) {
        const std::uint32_t split = model.zero_probability * (length_ >> bit_model_bits);
        if (bit == 0) {
            length_ = split;
            ++model.zero_count;
        } else {
            add(split);
            length_ -= split;
        }
        renormalize();
        if (--model.until_update == 0) {
            model.update();
        }
    }

    void encode_symbol(SymbolModel& model, std::uint32_t symbol) {
        const std::uint32_t unit = length_ >> symbol_model_bits;
        const std::uint32_t start = model.distribution()[symbol] * unit;
        add(start);
        length_ = symbol == model.last_symbol ? length_ - start
                                              : model.distribution()[symbol + 1] * unit - start;
        renormalize();
        ++model.counts()[symbol];
        if (--model.until_update == 0) {
            model.update();
        }
    }

    void write_bits(std::uint32_t bits, std::uint32_t value) {
        if (bits > 19) {
            write_bits(16, value & 0xFFFF);
            value >>= 16;
            bits -= 16;
        }
        length_ >>= bits;
        add(value * length_);
        renormalize();
    }

    void write_int(std::uint32_t value) {
        write_bits(16, value & 0xFFFF);
        write_bits(16, value >> 16);
    }

    // Closes the stream with as many bytes as the decoder reads ahead.
    std::string done() {
        const bool another_byte = length_ > 2 * coder_min_length;
        if (another_byte) {
            add(coder_min_length);
            length_ = coder_min_length >> 1;
        } else {
            add(coder_min_length >> 1);
            length_ = coder_min_length >> 9;
        }
        renormalize();
        out_.append(another_byte ? 3 : 2, '\0');
        return out_;
    }

private:
    void add(std::uint32_t value) {
        const std::uint32_t before = base_;
        base_ += value;
        if (base_ < before) {
            // The carry runs back through the bytes already written.
            std::size_t at = out_.size();
            while (out_[--at] == '\xFF') {
                out_[at] = '\0';
            }
            ++out_[at];
        }
    }

    void renormalize() {
        while (length_ < coder_min_length) {
            out_ += static_cast<char>(base_ >> 24);
            base_ <<= 8;
            length_ <<= 8;
        }
    }

    std::string out_;
    std::uint32_t base_ = 0;
    std::uint32_t length_ = coder_max_length;
};

// Sends integers as corrections to predictions, with the decoder's own models.
class IntegerEncoder {
public:
    IntegerEncoder(std::uint32_t bits, std::uint32_t contexts) : models_(bits, contexts) {
        models_.reset();
    }
    void reset() { models_.reset(); }
    std::uint32_t last_k() const { return k_; }

    void encode(ArithmeticEncoder& encoder, std::int32_t prediction, std::int32_t real,
                std::uint32_t context) {
        std::uint32_t correction =
            static_cast<std::uint32_t>(real) - static_cast<std::uint32_t>(prediction);
        if (models_.range() != 0) {
            const auto signed_correction = static_cast<std::int32_t>(correction);
            const std::int32_t min = models_.correction_min();
            const std::int32_t max = min + static_cast<std::int32_t>(models_.range()) - 1;
            if (signed_correction < min) {
                correction += models_.range();
            } else if (signed_correction > max) {
                correction -= models_.range();
            }
        }
        const auto c = static_cast<std::int32_t>(correction);
        const std::uint32_t magnitude = c <= 0 ? 0u - correction : correction - 1;
        k_ = static_cast<std::uint32_t>(std::bit_width(magnitude));
        encoder.encode_symbol(models_.k_model(context), k_);
        if (k_ == 0) {
            encoder.encode_bit(models_.zero_model(), correction);
        } else if (k_ < 32) {
            const std::uint32_t value =
                c < 0 ? correction + ((std::uint32_t{1} << k_) - 1) : correction - 1;
            if (k_ <= IntegerDecoder::modelled_bits) {
                encoder.encode_symbol(models_.value_model(k_), value);
            } else {
                const std::uint32_t raw_bits = k_ - IntegerDecoder::modelled_bits;
                encoder.encode_symbol(models_.value_model(k_), value >> raw_bits);
                encoder.write_bits(raw_bits, value & ((std::uint32_t{1} << raw_bits) - 1));
            }
        }
    }

private:
    IntegerDecoder models_;
    std::uint32_t k_ = 0;
};

std::uint32_t k_context(std::uint32_t k, std::uint32_t limit) {
    return k < limit ? k & ~1u : limit;
}

std::uint32_t clamp_byte(std::int32_t value) {
    return value <= 0 ? 0 : (value >= 255 ? 255 : static_cast<std::uint32_t>(value));
}

class Point10Encoder {
public:
    void start(const LazWriterPoint& point) {
        last_ = point;
        for (int i = 0; i < 16; ++i) {
            x_diffs_[i].reset();
            y_diffs_[i].reset();
            last_intensity_[i] = 0;
        }
        std::fill(std::begin(last_height_), std::end(last_height_), 0);
        changed_.reset();
        intensity_.reset();
        for (SymbolModel& model : scan_angle_) {
            model.reset();
        }
        source_.reset();
        for (auto* models : {&return_byte_, &classification_, &user_data_}) {
            for (SymbolModel& model : *models) {
                model.reset();
            }
        }
        dx_.reset();
        dy_.reset();
        dz_.reset();
    }

    void encode(ArithmeticEncoder& encoder, const LazWriterPoint& point) {
        const std::uint32_t r = point.return_byte & 7;
        const std::uint32_t n = (point.return_byte >> 3) & 7;
        const std::uint32_t m = point10_return_map[n][r];
        const std::uint32_t l = point10_return_level[n][r];
        const std::uint32_t changed = (last_.return_byte != point.return_byte ? 32 : 0) |
                                      (last_intensity_[m] != point.intensity ? 16 : 0) |
                                      (last_.classification != point.classification ? 8 : 0) |
                                      (last_.scan_angle != point.scan_angle ? 4 : 0) |
                                      (last_.user_data != point.user_data ? 2 : 0) |
                                      (last_.source != point.source ? 1 : 0);
        encoder.encode_symbol(changed_, changed);
        if ((changed & 32) != 0) {
            encoder.encode_symbol(return_byte_[last_.return_byte], point.return_byte);
        }
        if ((changed & 16) != 0) {
            intensity_.encode(encoder, last_intensity_[m], point.intensity, m < 3 ? m : 3);
            last_intensity_[m] = point.intensity;
        }
        if ((changed & 8) != 0) {
            encoder.encode_symbol(classification_[last_.classification], point.classification);
        }
        if ((changed & 4) != 0) {
            encoder.encode_symbol(scan_angle_[(point.return_byte >> 6) & 1],
                                  (point.scan_angle - last_.scan_angle) & 0xFF);
        }
        if ((changed & 2) != 0) {
            encoder.encode_symbol(user_data_[last_.user_data], point.user_data);
        }
        if ((changed & 1) != 0) {
            source_.encode(encoder, last_.source, point.source, 0);
        }
        const std::uint32_t single = n == 1 ? 1 : 0;
        const auto dx = static_cast<std::int32_t>(static_cast<std::uint32_t>(point.x) -
                                                  static_cast<std::uint32_t>(last_.x));
        dx_.encode(encoder, x_diffs_[m].get(), dx, single);
        x_diffs_[m].add(dx);
        const auto dy = static_cast<std::int32_t>(static_cast<std::uint32_t>(point.y) -
                                                  static_cast<std::uint32_t>(last_.y));
        dy_.encode(encoder, y_diffs_[m].get(), dy, single + k_context(dx_.last_k(), 20));
        y_diffs_[m].add(dy);
        const std::uint32_t k = (dx_.last_k() + dy_.last_k()) / 2;
        dz_.encode(encoder, last_height_[l], point.z, single + k_context(k, 18));
        last_height_[l] = point.z;
        last_ = point;
    }

private:
    LazWriterPoint last_;
    Median5 x_diffs_[16];
    Median5 y_diffs_[16];
    std::uint16_t last_intensity_[16];
    std::int32_t last_height_[8];
    SymbolModel changed_{64};
    IntegerEncoder intensity_{16, 4};
    std::vector<SymbolModel> scan_angle_ = std::vector<SymbolModel>(2, SymbolModel(256));
    IntegerEncoder source_{16, 1};
    std::vector<SymbolModel> return_byte_ = std::vector<SymbolModel>(256, SymbolModel(256));
    std::vector<SymbolModel> classification_ = std::vector<SymbolModel>(256, SymbolModel(256));
    std::vector<SymbolModel> user_data_ = std::vector<SymbolModel>(256, SymbolModel(256));
    IntegerEncoder dx_{32, 2};
    IntegerEncoder dy_{32, 22};
    IntegerEncoder dz_{32, 20};
};

// Times as 64-bit integers in up to four sequences: a multiple of the sequence's last
// difference where one is near, another sequence where the time is near it, else in full.
class GpsTimeEncoder {
public:
    void start(double time) {
        std::memcpy(&times_[0], &time, 8);
        std::fill(times_ + 1, times_ + 4, 0);
        std::fill(std::begin(differences_), std::end(differences_), 0);
        std::fill(std::begin(extremes_), std::end(extremes_), 0);
        last_ = 0;
        next_ = 0;
        multiple_.reset();
        zero_difference_.reset();
        integers_.reset();
    }

    void encode(ArithmeticEncoder& encoder, double time) {
        std::uint64_t bits;
        std::memcpy(&bits, &time, 8);
        encode_bits(encoder, bits, true);
    }

private:
    static bool fits_32(std::int64_t value) { return value == static_cast<std::int32_t>(value); }

    std::int32_t times_last(std::int32_t factor) const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(factor) *
                                         static_cast<std::uint32_t>(differences_[last_]));
    }

    // A sequence other than the last one whose time is within 32 bits of `bits` (0: none).
    std::uint32_t near_sequence(std::uint64_t bits) const {
        for (std::uint32_t step = 1; step < 4; ++step) {
            const std::uint32_t other = (last_ + step) & 3;
            if (fits_32(static_cast<std::int64_t>(bits - times_[other]))) {
                return step;
            }
        }
        return 0;
    }

    void encode_bits(ArithmeticEncoder& encoder, std::uint64_t bits, bool may_switch) {
        const auto difference = static_cast<std::int64_t>(bits - times_[last_]);
        if (differences_[last_] == 0) {
            if (difference == 0) {
                encoder.encode_symbol(zero_difference_, 0);
            } else if (fits_32(difference)) {
                encoder.encode_symbol(zero_difference_, 1);
                integers_.encode(encoder, 0, static_cast<std::int32_t>(difference), 0);
                differences_[last_] = static_cast<std::int32_t>(difference);
                extremes_[last_] = 0;
                times_[last_] = bits;
            } else if (const std::uint32_t step = may_switch ? near_sequence(bits) : 0) {
                encoder.encode_symbol(zero_difference_, 2 + step);
                last_ = (last_ + step) & 3;
                encode_bits(encoder, bits, false);
            } else {
                encoder.encode_symbol(zero_difference_, 2);
                start_sequence(encoder, bits);
            }
            return;
        }
        if (difference == 0) {
            encoder.encode_symbol(multiple_, unchanged);
        } else if (fits_32(difference)) {
            encode_multiple(encoder, static_cast<std::int32_t>(difference));
            times_[last_] = bits;
        } else if (const std::uint32_t step = may_switch ? near_sequence(bits) : 0) {
            encoder.encode_symbol(multiple_, sent_in_full + step);
            last_ = (last_ + step) & 3;
            encode_bits(encoder, bits, false);
        } else {
            encoder.encode_symbol(multiple_, sent_in_full);
            start_sequence(encoder, bits);
        }
    }

    void encode_multiple(ArithmeticEncoder& encoder, std::int32_t difference) {
        const double ratio = static_cast<double>(difference) / differences_[last_];
        const auto multiple = static_cast<std::int64_t>(std::lround(ratio));
        bool extreme = false;
        if (multiple == 1) {
            encoder.encode_symbol(multiple_, 1);
            integers_.encode(encoder, differences_[last_], difference, 1);
            extremes_[last_] = 0;
        } else if (multiple > 1 && multiple < 500) {
            const auto m = static_cast<std::int32_t>(multiple);
            encoder.encode_symbol(multiple_, static_cast<std::uint32_t>(m));
            integers_.encode(encoder, times_last(m), difference, m < 10 ? 2 : 3);
        } else if (multiple >= 500) {
            encoder.encode_symbol(multiple_, 500);
            integers_.encode(encoder, times_last(500), difference, 4);
            extreme = true;
        } else if (multiple < 0 && multiple > -10) {
            const auto m = static_cast<std::int32_t>(multiple);
            encoder.encode_symbol(multiple_, static_cast<std::uint32_t>(500 - m));
            integers_.encode(encoder, times_last(m), difference, 5);
        } else if (multiple <= -10) {
            encoder.encode_symbol(multiple_, 510);
            integers_.encode(encoder, times_last(-10), difference, 6);
            extreme = true;
        } else {
            encoder.encode_symbol(multiple_, 0);
            integers_.encode(encoder, 0, difference, 7);
            extreme = true;
        }
        if (extreme && ++extremes_[last_] > 3) {
            differences_[last_] = difference;
            extremes_[last_] = 0;
        }
    }

    void start_sequence(ArithmeticEncoder& encoder, std::uint64_t bits) {
        next_ = (next_ + 1) & 3;
        integers_.encode(encoder, static_cast<std::int32_t>(times_[last_] >> 32),
                         static_cast<std::int32_t>(bits >> 32), 8);
        encoder.write_int(static_cast<std::uint32_t>(bits));
        last_ = next_;
        times_[last_] = bits;
        differences_[last_] = 0;
        extremes_[last_] = 0;
    }

    static constexpr std::uint32_t unchanged = 511;
    static constexpr std::uint32_t sent_in_full = 512;

    std::uint64_t times_[4] = {};
    std::int32_t differences_[4] = {};
    IntegerEncoder integers_{32, 9};
    std::int32_t extremes_[4] = {};
    std::uint32_t last_ = 0;
    std::uint32_t next_ = 0;
    SymbolModel multiple_{516};
    SymbolModel zero_difference_{6};
};

class RgbEncoder {
public:
    void start(const std::uint16_t rgb[3]) {
        std::copy(rgb, rgb + 3, last_);
        changed_.reset();
        for (SymbolModel& model : bytes_) {
            model.reset();
        }
    }

    void encode(ArithmeticEncoder& encoder, const std::uint16_t rgb[3]) {
        const auto low = [](std::uint32_t v) { return static_cast<std::int32_t>(v & 0xFF); };
        const auto high = [](std::uint32_t v) { return static_cast<std::int32_t>(v >> 8); };
        std::uint32_t changed = 0;
        for (int channel = 0; channel < 3; ++channel) {
            changed |= (low(rgb[channel]) != low(last_[channel]) ? 1u : 0u) << (2 * channel);
            changed |= (high(rgb[channel]) != high(last_[channel]) ? 1u : 0u) << (2 * channel + 1);
        }
        changed |= (rgb[0] != rgb[1] || rgb[0] != rgb[2]) ? 64 : 0;
        encoder.encode_symbol(changed_, changed);
        const auto send = [&](int model, std::int32_t value, std::int32_t predicted) {
            encoder.encode_symbol(bytes_[model],
                                  static_cast<std::uint32_t>(value - predicted) & 0xFF);
        };
        if ((changed & 1) != 0) {
            send(0, low(rgb[0]), low(last_[0]));
        }
        if ((changed & 2) != 0) {
            send(1, high(rgb[0]), high(last_[0]));
        }
        if ((changed & 64) != 0) {
            std::int32_t difference = low(rgb[0]) - low(last_[0]);
            if ((changed & 4) != 0) {
                send(2, low(rgb[1]),
                     static_cast<std::int32_t>(clamp_byte(difference + low(last_[1]))));
            }
            if ((changed & 16) != 0) {
                difference = (difference + low(rgb[1]) - low(last_[1])) / 2;
                send(4, low(rgb[2]),
                     static_cast<std::int32_t>(clamp_byte(difference + low(last_[2]))));
            }
            difference = high(rgb[0]) - high(last_[0]);
            if ((changed & 8) != 0) {
                send(3, high(rgb[1]),
                     static_cast<std::int32_t>(clamp_byte(difference + high(last_[1]))));
            }
            if ((changed & 32) != 0) {
                difference = (difference + high(rgb[1]) - high(last_[1])) / 2;
                send(5, high(rgb[2]),
                     static_cast<std::int32_t>(clamp_byte(difference + high(last_[2]))));
            }
        }
        std::copy(rgb, rgb + 3, last_);
    }

private:
    std::uint16_t last_[3] = {};
    SymbolModel changed_{128};
    std::vector<SymbolModel> bytes_ = std::vector<SymbolModel>(6, SymbolModel(256));
};

class BytesEncoder {
public:
    explicit BytesEncoder(std::size_t count) : models_(count, SymbolModel(256)) {}
    void start(const std::vector<std::uint8_t>& bytes) {
        last_ = bytes;
        for (SymbolModel& model : models_) {
            model.reset();
        }
    }
    void encode(ArithmeticEncoder& encoder, const std::vector<std::uint8_t>& bytes) {
        for (std::size_t i = 0; i < models_.size(); ++i) {
            encoder.encode_symbol(models_[i], (bytes[i] - last_[i]) & 0xFF);
        }
        last_ = bytes;
    }

private:
    std::vector<std::uint8_t> last_;
    std::vector<SymbolModel> models_;
};

constexpr std::uint16_t format_sizes[] = {20, 28, 26, 34, 0, 0, 30, 36, 38};

bool layered(const LazWriterLayout& layout) { return layout.point_format >= 6; }

// The point as the record stores it, as plain LAS does and as the first point of a chunk.
std::string raw_point(const LazWriterLayout& layout, const LazWriterPoint& p) {
    std::string out;
    put(out, p.x);
    put(out, p.y);
    put(out, p.z);
    put(out, p.intensity);
    const int format = layout.point_format;
    if (format >= 6) {
        out += static_cast<char>(p.return_byte);
        out += static_cast<char>(p.channel << 4);
        out += static_cast<char>(p.classification);
        out += static_cast<char>(p.user_data);
        put(out, static_cast<std::int16_t>(static_cast<std::int8_t>(p.scan_angle)));
        put(out, p.source);
        put(out, p.gps_time);
    } else {
        out += static_cast<char>(p.return_byte);
        out += static_cast<char>(p.classification);
        out += static_cast<char>(p.scan_angle);
        out += static_cast<char>(p.user_data);
        put(out, p.source);
        if (format == 1 || format == 3) {
            put(out, p.gps_time);
        }
    }
    if (format == 2 || format == 3 || format >= 7) {
        for (const std::uint16_t value : p.rgb) {
            put(out, value);
        }
    }
    if (format == 8) {
        put(out, p.nir);
    }
    out.append(p.extra.begin(), p.extra.end());
    return out;
}

struct ChunkWriter {
    const LazWriterLayout& layout;
    Point10Encoder point;
    GpsTimeEncoder time;
    RgbEncoder rgb;
    BytesEncoder bytes;

    bool has_time() const { return layout.point_format == 1 || layout.point_format == 3; }
    bool has_rgb() const { return layout.point_format >= 2; }

    std::string chunk(const LazWriterPoint* points, std::size_t count) {
        std::string out = raw_point(layout, points[0]);
        point.start(points[0]);
        time.start(points[0].gps_time);
        rgb.start(points[0].rgb);
        bytes.start(points[0].extra);
        ArithmeticEncoder encoder;
        for (std::size_t i = 1; i < count; ++i) {
            point.encode(encoder, points[i]);
            if (has_time()) {
                time.encode(encoder, points[i].gps_time);
            }
            if (has_rgb()) {
                rgb.encode(encoder, points[i].rgb);
            }
            if (layout.extra_bytes > 0) {
                bytes.encode(encoder, points[i].extra);
            }
        }
        return out + encoder.done();
    }
};

// The first layers of POINT14 for one scanner channel, as the decoder keeps them.
struct Point14ChannelEncoder {
    bool unused = true;
    std::int32_t x = 0, y = 0, z = 0;
    std::uint32_t return_number = 0, returns = 0;
    double time = 0.0;
    bool time_changed = false;
    std::vector<SymbolModel> changed = std::vector<SymbolModel>(8, SymbolModel(128));
    SymbolModel channel{3};
    std::vector<SymbolModel> returns_models = std::vector<SymbolModel>(16, SymbolModel(16));
    std::vector<SymbolModel> return_number_models = std::vector<SymbolModel>(16, SymbolModel(16));
    SymbolModel return_number_same_time{13};
    IntegerEncoder dx{32, 2};
    IntegerEncoder dy{32, 22};
    IntegerEncoder dz{32, 20};
    Median5 x_diffs[12];
    Median5 y_diffs[12];
    std::int32_t last_z[8] = {};

    void start(const Point14ChannelEncoder& from) {
        unused = false;
        x = from.x;
        y = from.y;
        z = from.z;
        return_number = from.return_number;
        returns = from.returns;
        time = from.time;
        time_changed = false;
        for (auto* models : {&changed, &returns_models, &return_number_models}) {
            for (SymbolModel& model : *models) {
                model.reset();
            }
        }
        channel.reset();
        return_number_same_time.reset();
        dx.reset();
        dy.reset();
        dz.reset();
        for (int i = 0; i < 12; ++i) {
            x_diffs[i].reset();
            y_diffs[i].reset();
        }
        std::fill(std::begin(last_z), std::end(last_z), z);
    }
};

struct RgbChannelEncoder {
    bool unused = true;
    RgbEncoder rgb;
    std::uint16_t last[3] = {};
};

// Layered chunks of POINT14 with RGB14 or RGBNIR14: the layer of x and y with the return
// counts and the scanner channel, the layer of z and the layer of RGB are encoded; the other
// attributes must not change within a chunk, so that their layers are empty, except the GPS
// time, whose changes are sent in the first layer as its contexts need while its own layer is
// left empty: the reader never decodes it.
struct LayeredChunkWriter {
    const LazWriterLayout& layout;
    std::vector<Point14ChannelEncoder> channels = std::vector<Point14ChannelEncoder>(4);
    std::vector<RgbChannelEncoder> rgb_channels = std::vector<RgbChannelEncoder>(4);

    static std::uint32_t level(std::uint32_t n, std::uint32_t r) {
        return std::min<std::uint32_t>(n > r ? n - r : r - n, 7);
    }

    std::string chunk(const LazWriterPoint* points, std::size_t count) {
        const LazWriterPoint& first = points[0];
        for (auto& channel : channels) {
            channel.unused = true;
        }
        for (auto& channel : rgb_channels) {
            channel.unused = true;
        }
        std::uint32_t current = first.channel;
        Point14ChannelEncoder seed;
        seed.x = first.x;
        seed.y = first.y;
        seed.z = first.z;
        seed.return_number = first.return_byte & 15u;
        seed.returns = static_cast<std::uint32_t>(first.return_byte >> 4);
        seed.time = first.gps_time;
        channels[current].start(seed);
        std::uint32_t rgb_current = current;
        rgb_channels[current].unused = false;
        rgb_channels[current].rgb.start(first.rgb);
        std::copy(first.rgb, first.rgb + 3, rgb_channels[current].last);

        ArithmeticEncoder xy, z, rgb;
        bool z_changed = false, rgb_changed = false;
        for (std::size_t i = 1; i < count; ++i) {
            const LazWriterPoint& p = points[i];
            Point14ChannelEncoder& from = channels[current];
            const std::uint32_t target = p.channel;
            if (target != current && channels[target].unused) {
                channels[target].start(from);
            }
            Point14ChannelEncoder& to = channels[target];
            const std::uint32_t r = p.return_byte & 15u;
            const std::uint32_t n = static_cast<std::uint32_t>(p.return_byte >> 4);
            const bool time_changed = p.gps_time != to.time;
            std::uint32_t r_change = 3;
            if (r == to.return_number) {
                r_change = 0;
            } else if (r == ((to.return_number + 1) & 15)) {
                r_change = 1;
            } else if (r == ((to.return_number + 15) & 15)) {
                r_change = 2;
            }
            const std::uint32_t changed = (target != current ? 64u : 0u) |
                                          (time_changed ? 16u : 0u) | (n != to.returns ? 4u : 0u) |
                                          r_change;
            std::uint32_t last_return = from.return_number == 1 ? 1 : 0;
            last_return += from.return_number >= from.returns ? 2 : 0;
            last_return += from.time_changed ? 4 : 0;
            xy.encode_symbol(from.changed[last_return], changed);
            if (target != current) {
                xy.encode_symbol(from.channel, (target - current - 1) & 3);
                current = target;
            }
            if (n != to.returns) {
                xy.encode_symbol(to.returns_models[to.returns], n);
                to.returns = n;
            }
            if (r_change == 3) {
                if (time_changed) {
                    xy.encode_symbol(to.return_number_models[to.return_number], r);
                } else {
                    xy.encode_symbol(to.return_number_same_time, (r - to.return_number - 2) & 15);
                }
            }
            to.return_number = r;
            const std::uint32_t m = point14_return_map[n][r];
            const std::uint32_t diffs = m << 1 | (time_changed ? 1 : 0);
            const std::uint32_t single = n == 1 ? 1 : 0;
            const auto dx = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.x) -
                                                      static_cast<std::uint32_t>(to.x));
            to.dx.encode(xy, to.x_diffs[diffs].get(), dx, single);
            to.x_diffs[diffs].add(dx);
            const auto dy = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.y) -
                                                      static_cast<std::uint32_t>(to.y));
            to.dy.encode(xy, to.y_diffs[diffs].get(), dy, single + k_context(to.dx.last_k(), 20));
            to.y_diffs[diffs].add(dy);
            to.x = p.x;
            to.y = p.y;
            const std::uint32_t k = (to.dx.last_k() + to.dy.last_k()) / 2;
            const std::uint32_t l = level(n, r);
            to.dz.encode(z, to.last_z[l], p.z, single + k_context(k, 18));
            to.last_z[l] = p.z;
            z_changed = z_changed || p.z != to.z;
            to.z = p.z;
            to.time = p.gps_time;
            to.time_changed = time_changed;
            if (layout.point_format >= 7) {
                if (rgb_current != current) {
                    RgbChannelEncoder& next = rgb_channels[current];
                    if (next.unused) {
                        next.unused = false;
                        next.rgb.start(rgb_channels[rgb_current].last);
                        std::copy(rgb_channels[rgb_current].last,
                                  rgb_channels[rgb_current].last + 3, next.last);
                    }
                    rgb_current = current;
                }
                RgbChannelEncoder& colour = rgb_channels[rgb_current];
                rgb_changed = rgb_changed || !std::equal(p.rgb, p.rgb + 3, colour.last);
                colour.rgb.encode(rgb, p.rgb);
                std::copy(p.rgb, p.rgb + 3, colour.last);
            }
        }
        std::vector<std::string> layers(9);
        layers[0] = xy.done();
        layers[1] = z_changed ? z.done() : "";
        if (layout.point_format >= 7) {
            layers.push_back(rgb_changed ? rgb.done() : "");
        }
        // The NIR layer and one layer for each extra byte, all empty.
        layers.resize(layers.size() + (layout.point_format == 8 ? 1 : 0) + layout.extra_bytes);
        std::string out = raw_point(layout, first);
        put(out, static_cast<std::uint32_t>(count));
        for (const std::string& layer : layers) {
            put(out, static_cast<std::uint32_t>(layer.size()));
        }
        for (const std::string& layer : layers) {
            out += layer;
        }
        return out;
    }
};

std::uint32_t header_size_of(const LazWriterLayout& layout) {
    return layout.version_minor >= 4 ? 375 : 227;
}

std::string las_header(const LazWriterLayout& layout, std::size_t count, std::uint32_t point_offset,
                       bool compressed) {
    const std::uint32_t header_size = header_size_of(layout);
    std::string out(header_size, '\0');
    out.replace(0, 4, "LASF");
    out[24] = 1;
    out[25] = static_cast<char>(layout.version_minor);
    std::string fields;
    put(fields, static_cast<std::uint16_t>(header_size));
    put(fields, point_offset);
    put(fields, std::uint32_t{compressed ? 1u : 0u});
    out.replace(94, fields.size(), fields);
    // Layered chunks mark the format with the top two bits.
    const int marks = !compressed ? 0 : (layered(layout) ? 0xC0 : 0x80);
    out[104] = static_cast<char>(marks | layout.point_format);
    fields.clear();
    put(fields, static_cast<std::uint16_t>(format_sizes[layout.point_format] + layout.extra_bytes));
    put(fields, static_cast<std::uint32_t>(layout.version_minor >= 4 ? 0 : count));
    out.replace(105, fields.size(), fields);
    fields.clear();
    for (const double value : layout.scale) {
        put(fields, value);
    }
    for (const double value : layout.offset) {
        put(fields, value);
    }
    out.replace(131, fields.size(), fields);
    if (layout.version_minor >= 4) {
        fields.clear();
        put(fields, static_cast<std::uint64_t>(count));
        out.replace(247, fields.size(), fields);
    }
    return out;
}

}  // namespace

std::string las_file(const LazWriterLayout& layout, const std::vector<LazWriterPoint>& points) {
    std::string out = las_header(layout, points.size(), header_size_of(layout), false);
    for (const LazWriterPoint& point : points) {
        out += raw_point(layout, point);
    }
    return out;
}

std::string laz_file(const LazWriterLayout& layout, const std::vector<LazWriterPoint>& points,
                     LazFileParts* parts) {
    const bool variable = !layout.chunk_counts.empty();
    std::vector<std::uint32_t> counts = layout.chunk_counts;
    if (!variable) {
        for (std::size_t done = 0; done < points.size(); done += layout.chunk_size) {
            counts.push_back(static_cast<std::uint32_t>(
                std::min<std::size_t>(layout.chunk_size, points.size() - done)));
        }
    }
    const std::uint32_t header_size = header_size_of(layout);
    const int format = layout.point_format;
    const std::uint16_t version = layered(layout) ? 3 : 2;
    std::vector<std::array<std::uint16_t, 3>> items;
    if (layered(layout)) {
        items.push_back({10, 30, version});
        if (format == 7) {
            items.push_back({11, 6, version});
        } else if (format == 8) {
            items.push_back({12, 8, version});
        }
    } else {
        items.push_back({6, 20, version});
        if (format == 1 || format == 3) {
            items.push_back({7, 8, version});
        }
        if (format >= 2) {
            items.push_back({8, 6, version});
        }
    }
    if (layout.extra_bytes > 0) {
        items.push_back(
            {static_cast<std::uint16_t>(layered(layout) ? 14 : 0), layout.extra_bytes, version});
    }
    std::string record;
    put(record, static_cast<std::uint16_t>(layered(layout) ? 3 : 2));
    put(record, std::uint16_t{0});
    record += layered(layout) ? "\x03\x04" : "\x02\x02";
    put(record, std::uint16_t{0});
    put(record, std::uint32_t{0});
    put(record, variable ? 0xFFFFFFFFu : layout.chunk_size);
    put(record, std::int64_t{-1});
    put(record, std::int64_t{-1});
    put(record, static_cast<std::uint16_t>(items.size()));
    for (const auto& item : items) {
        for (const std::uint16_t value : item) {
            put(record, value);
        }
    }
    std::string vlr(54, '\0');
    vlr.replace(2, 14, "laszip encoded");
    std::string fields;
    put(fields, std::uint16_t{22204});
    put(fields, static_cast<std::uint16_t>(record.size()));
    vlr.replace(18, 4, fields);

    const std::uint32_t point_offset =
        header_size + static_cast<std::uint32_t>(vlr.size() + record.size());
    std::string out = las_header(layout, points.size(), point_offset, true);
    if (parts != nullptr) {
        parts->record_offset = out.size() + vlr.size();
    }
    out += vlr + record;

    const std::size_t table_pointer = out.size();
    put(out, std::int64_t{0});
    ChunkWriter writer{layout, {}, {}, {}, BytesEncoder(layout.extra_bytes)};
    LayeredChunkWriter layered_writer{layout};
    std::vector<std::uint32_t> sizes;
    std::size_t done = 0;
    for (const std::uint32_t count : counts) {
        if (parts != nullptr) {
            parts->chunk_offsets.push_back(out.size());
        }
        const std::string chunk = layered(layout)
                                      ? layered_writer.chunk(points.data() + done, count)
                                      : writer.chunk(points.data() + done, count);
        sizes.push_back(static_cast<std::uint32_t>(chunk.size()));
        out += chunk;
        done += count;
    }
    const auto table_offset = static_cast<std::int64_t>(out.size());
    std::memcpy(out.data() + table_pointer, &table_offset, 8);
    if (parts != nullptr) {
        parts->point_offset = point_offset;
        parts->table_offset = out.size();
    }
    put(out, std::uint32_t{0});
    put(out, static_cast<std::uint32_t>(counts.size()));
    ArithmeticEncoder table;
    IntegerEncoder integers(32, 2);
    std::int32_t last_count = 0;
    std::int32_t last_size = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (variable) {
            integers.encode(table, last_count, static_cast<std::int32_t>(counts[i]), 0);
            last_count = static_cast<std::int32_t>(counts[i]);
        }
        integers.encode(table, last_size, static_cast<std::int32_t>(sizes[i]), 1);
        last_size = static_cast<std::int32_t>(sizes[i]);
    }
    return out + table.done();
}
