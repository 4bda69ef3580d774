// Compressed LAS (LAZ): a LAS header and its records, one of which (user "laszip encoded",
// record 22204) lists the items of a point record and how they are compressed; then the points
// in chunks that each decode on their own, and at the end a table of the chunks' sizes.
//
// The chunks are decoded on two threads where the process may run on two processors: the
// calling thread reads the chunks' bytes in order and decodes every other chunk, a helper the
// others. Each writes its chunk's points straight to their place in the cloud.

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "formats/las_header.h"
#include "formats/laz_arithmetic.h"
#include "formats/laz_items.h"

namespace {

constexpr std::size_t vlr_header_size = 54;
constexpr std::uint16_t laz_record_id = 22204;
constexpr std::size_t laz_record_fixed_size = 34;
// Chunk sizes in the record: this one says that each chunk has its own count of points.
constexpr std::uint32_t variable_chunk_size = 0xFFFFFFFFu;
// The coder spends more than 1/256 of a bit on every point whatever its items (every point
// sends at least two symbols of at least 33), so a chunk of n bytes holds fewer than 2048 n
// points: a count above that is a lie, and is refused before anything is allocated for it.
constexpr std::uint64_t most_points_a_byte = 2048;
// An entry of the chunk table takes at most two integers of 32 bits, each under 8 bytes.
constexpr std::uint64_t most_bytes_a_table_entry = 16;

enum class Compressor : std::uint16_t { pointwise = 1, pointwise_chunked = 2, layered_chunked = 3 };

struct LazRecord {
    Compressor compressor;
    std::uint32_t chunk_size;
    std::vector<LazItem> items;
};

struct Chunk {
    std::uint32_t count;
    std::uint64_t size;
};

const char* item_name(LazItemType type) {
    switch (type) {
        case LazItemType::byte:
            return "BYTE";
        case LazItemType::point10:
            return "POINT10";
        case LazItemType::gps_time11:
            return "GPSTIME11";
        case LazItemType::rgb12:
            return "RGB12";
        case LazItemType::wave_packet13:
            return "WAVEPACKET13";
        case LazItemType::point14:
            return "POINT14";
        case LazItemType::rgb14:
            return "RGB14";
        case LazItemType::rgb_nir14:
            return "RGBNIR14";
        case LazItemType::wave_packet14:
            return "WAVEPACKET14";
        case LazItemType::byte14:
            return "BYTE14";
    }
    return "?";
}

std::uint16_t item_size(LazItemType type) {
    switch (type) {
        case LazItemType::point10:
            return 20;
        case LazItemType::gps_time11:
            return 8;
        case LazItemType::rgb12:
        case LazItemType::rgb14:
            return 6;
        case LazItemType::rgb_nir14:
            return 8;
        case LazItemType::point14:
            return 30;
        default:
            return 29;
    }
}

// The items that each point format is compressed as, before any extra bytes.
std::vector<LazItemType> items_of_format(int format) {
    using T = LazItemType;
    switch (format) {
        case 0:
            return {T::point10};
        case 1:
            return {T::point10, T::gps_time11};
        case 2:
            return {T::point10, T::rgb12};
        case 3:
            return {T::point10, T::gps_time11, T::rgb12};
        case 4:
            return {T::point10, T::gps_time11, T::wave_packet13};
        case 5:
            return {T::point10, T::gps_time11, T::rgb12, T::wave_packet13};
        case 6:
            return {T::point14};
        case 7:
            return {T::point14, T::rgb14};
        case 8:
            return {T::point14, T::rgb_nir14};
        case 9:
            return {T::point14, T::wave_packet14};
        default:
            return {T::point14, T::rgb_nir14, T::wave_packet14};
    }
}

std::string describe_items(const std::vector<LazItem>& items) {
    std::string text;
    for (const LazItem& item : items) {
        text += (text.empty() ? "" : ", ") + std::string(item_name(item.type)) + " of " +
                std::to_string(item.size) + " bytes";
    }
    return text;
}

LazRecord parse_laz_record(const unsigned char* bytes, std::size_t size, const LasHeader& header) {
    if (size < laz_record_fixed_size) {
        fail("the LAZ record is " + std::to_string(size) + " bytes, shorter than " +
             std::to_string(laz_record_fixed_size));
    }
    LazRecord record{};
    const std::uint16_t compressor = load_u16(bytes, false);
    const std::uint16_t coder = load_u16(bytes + 2, false);
    record.chunk_size = load_u32(bytes + 12, false);
    const std::uint16_t item_count = load_u16(bytes + 32, false);
    if (coder != 0) {
        fail("the LAZ record names coder " + std::to_string(coder) +
             ", not the arithmetic coder (0)");
    }
    if (compressor == static_cast<std::uint16_t>(Compressor::pointwise)) {
        fail("LAZ compressed without chunks is not read (chunked LAZ is)");
    }
    if (compressor != static_cast<std::uint16_t>(Compressor::pointwise_chunked) &&
        compressor != static_cast<std::uint16_t>(Compressor::layered_chunked)) {
        fail("the LAZ record names compressor " + std::to_string(compressor) +
             ", not one of chunks (2 or 3)");
    }
    record.compressor = static_cast<Compressor>(compressor);
    if (size < laz_record_fixed_size + 6 * std::size_t{item_count}) {
        fail("the LAZ record lists " + std::to_string(item_count) + " items in " +
             std::to_string(size) + " bytes");
    }
    const bool layered = record.compressor == Compressor::layered_chunked;
    for (std::size_t i = 0; i < item_count; ++i) {
        const unsigned char* item = bytes + laz_record_fixed_size + 6 * i;
        const std::uint16_t type = load_u16(item, false);
        const std::uint16_t item_size = load_u16(item + 2, false);
        const std::uint16_t version = load_u16(item + 4, false);
        if (type > static_cast<std::uint16_t>(LazItemType::byte14) ||
            (type > 0 && type < static_cast<std::uint16_t>(LazItemType::point10))) {
            fail("the LAZ record lists an item of unknown type " + std::to_string(type));
        }
        const auto item_type = static_cast<LazItemType>(type);
        const std::uint16_t wanted_version = layered ? 3 : 2;
        if (version != wanted_version) {
            fail(std::string("the LAZ item ") + item_name(item_type) + " is of version " +
                 std::to_string(version) + ": " + (layered ? "layered" : "pointwise") +
                 " chunks are read in version " + std::to_string(wanted_version));
        }
        record.items.push_back(LazItem{item_type, item_size, version});
    }
    // The items must make up the point format: its own items, then any extra bytes.
    std::vector<LazItem> expected;
    for (const LazItemType type : items_of_format(header.point_format)) {
        expected.push_back(LazItem{type, item_size(type), 0});
    }
    const std::uint32_t extra = header.record_length - las_point_formats[header.point_format].size;
    if (extra > 0) {
        expected.push_back(LazItem{layered ? LazItemType::byte14 : LazItemType::byte,
                                   static_cast<std::uint16_t>(extra), 0});
    }
    const bool matches = std::equal(
        expected.begin(), expected.end(), record.items.begin(), record.items.end(),
        [](const LazItem& a, const LazItem& b) { return a.type == b.type && a.size == b.size; });
    if (!matches) {
        fail("the LAZ record's items (" + describe_items(record.items) +
             ") are not those of point format " + std::to_string(header.point_format) + " (" +
             describe_items(expected) + ")");
    }
    const bool point14 = header.point_format >= 6;
    if (point14 != layered) {
        fail(std::string("point format ") + std::to_string(header.point_format) + " in " +
             (layered ? "layered" : "pointwise") + " chunks is not read");
    }
    if (!layered && (header.point_format == 4 || header.point_format == 5)) {
        fail("waveform packets in pointwise chunks (point format " +
             std::to_string(header.point_format) + ") are not read");
    }
    if (record.chunk_size == 0) {
        fail("the LAZ record gives chunks of 0 points");
    }
    return record;
}

// Finds the LAZ record among the records between the header and the points.
LazRecord read_laz_record(ByteSource& source, const LasHeader& header) {
    source.skip(header.header_size, "the LAS header");
    for (std::uint32_t i = 0; i < header.vlr_count; ++i) {
        if (source.position() + vlr_header_size > header.point_offset ||
            source.request(vlr_header_size) < vlr_header_size) {
            break;
        }
        const unsigned char* vlr = source.data();
        const bool laz = std::memcmp(vlr + 2, "laszip encoded\0", 15) == 0 &&
                         load_u16(vlr + 18, false) == laz_record_id;
        const std::uint16_t length = load_u16(vlr + 20, false);
        source.advance(vlr_header_size);
        if (laz) {
            if (source.request(length) < length) {
                fail("truncated: the file ends inside the LAZ record");
            }
            return parse_laz_record(source.data(), length, header);
        }
        source.skip(length, "a variable-length record");
    }
    fail("the point format is marked compressed but no LAZ record (user \"laszip encoded\", " +
         std::to_string(laz_record_id) + ") lies before the points");
}

// Copies `count` bytes from the source into `out`.
void copy_bytes(ByteSource& source, std::uint64_t count, std::vector<unsigned char>& out,
                const char* what) {
    if (count > source.remaining()) {
        fail(std::string("truncated: ") + what + " needs " + with_commas(count) + " bytes and " +
             with_commas(source.remaining()) + " follow");
    }
    out.resize(static_cast<std::size_t>(count));
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t piece = std::min(out.size() - done, ByteSource::buffer_size);
        const std::size_t available = std::min(source.request(piece), piece);
        std::memcpy(out.data() + done, source.data(), available);
        source.advance(available);
        done += available;
    }
}

std::uint64_t read_u64_at(ByteSource& source, std::uint64_t offset, const char* what) {
    source.rewind();
    source.skip(offset, what);
    if (source.request(8) < 8) {
        fail(std::string("truncated: the file ends inside ") + what);
    }
    return load_u64(source.data(), false);
}

// The table of the chunks' sizes, and with chunks of varying size their counts, each entry
// sent as a difference to the last one's.
std::vector<Chunk> read_chunk_table(ByteSource& source, const LasHeader& header,
                                    const LazRecord& record, std::uint64_t data_start,
                                    std::uint64_t& table_offset) {
    table_offset = read_u64_at(source, header.point_offset, "the offset to the chunk table");
    // A writer that could not go back to the start leaves the offset at the end of the file.
    if (table_offset == ~std::uint64_t{0} && source.size() >= 8) {
        table_offset = read_u64_at(source, source.size() - 8, "the offset to the chunk table");
    }
    if (table_offset < data_start || table_offset > source.size() ||
        source.size() - table_offset < 8) {
        fail("truncated or corrupt: the chunk table's offset " + with_commas(table_offset) +
             " lies outside the file's " + with_commas(source.size()) + " bytes");
    }
    source.rewind();
    source.skip(table_offset, "the chunk table");
    source.request(8);
    const std::uint32_t version = load_u32(source.data(), false);
    const std::uint32_t chunk_count = load_u32(source.data() + 4, false);
    source.advance(8);
    if (version != 0) {
        fail("the chunk table is of version " + std::to_string(version) + ", not 0");
    }
    // Every chunk holds at least its first point raw and the four bytes that start its coder.
    std::uint64_t smallest_chunk = 4;
    for (const LazItem& item : record.items) {
        smallest_chunk += item.size;
    }
    const std::uint64_t chunk_bytes = table_offset - data_start;
    if (chunk_count > chunk_bytes / smallest_chunk) {
        fail("the chunk table lists " + with_commas(chunk_count) + " chunks in " +
             with_commas(chunk_bytes) + " bytes of points");
    }
    std::vector<unsigned char> table;
    copy_bytes(source, std::min(source.remaining(), chunk_count * most_bytes_a_table_entry + 8),
               table, "the chunk table");
    ArithmeticDecoder decoder;
    decoder.start(table.data(), table.size());
    IntegerDecoder integers(32, 2);
    integers.reset();
    std::vector<Chunk> chunks(chunk_count);
    const bool variable = record.chunk_size == variable_chunk_size;
    std::int32_t last_count = 0;
    std::int32_t last_size = 0;
    for (Chunk& chunk : chunks) {
        if (variable) {
            last_count = integers.decode(decoder, last_count, 0);
            chunk.count = static_cast<std::uint32_t>(last_count);
        } else {
            chunk.count = record.chunk_size;
        }
        last_size = integers.decode(decoder, last_size, 1);
        chunk.size = static_cast<std::uint32_t>(last_size);
    }
    if (decoder.overrun() != 0) {
        fail("the chunk table is truncated or corrupt");
    }
    return chunks;
}

// Checks the chunk table against the header and the bytes the chunks fill.
void check_chunks(std::vector<Chunk>& chunks, const LasHeader& header, const LazRecord& record,
                  std::uint64_t chunk_bytes) {
    const std::uint64_t total = header.point_count;
    if (record.chunk_size != variable_chunk_size) {
        const std::uint64_t wanted =
            total / record.chunk_size + (total % record.chunk_size != 0 ? 1 : 0);
        if (chunks.size() != wanted) {
            fail("the chunk table lists " + with_commas(chunks.size()) + " chunks and the " +
                 with_commas(total) + " points of the header make " + with_commas(wanted) + " of " +
                 with_commas(record.chunk_size));
        }
        if (!chunks.empty()) {
            chunks.back().count =
                static_cast<std::uint32_t>(total - (chunks.size() - 1) * record.chunk_size);
        }
    }
    std::uint64_t points = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& chunk = chunks[i];
        if (chunk.count == 0 || chunk.count / most_points_a_byte >= chunk.size) {
            fail("the chunk table gives chunk " + with_commas(i + 1) + " " +
                 with_commas(chunk.count) + " points in " + with_commas(chunk.size) + " bytes");
        }
        points += chunk.count;
        bytes += chunk.size;
    }
    if (points != total) {
        fail("the chunk table's chunks hold " + with_commas(points) +
             " points and the header promises " + with_commas(total));
    }
    if (bytes != chunk_bytes) {
        fail("the chunk table's chunks take " + with_commas(bytes) + " bytes and " +
             with_commas(chunk_bytes) + " lie between the points' start and the table");
    }
}

// How a chunk's points become the cloud's: scaled and offset in double precision, less the
// shift. Colours are kept as their low bytes, marked by a negative value (-1 - colour), where
// no value of the point exceeds 255: once every chunk is in, they stay so where no value of the
// whole file exceeds 255 and become black otherwise, as in plain LAS.
struct Conversion {
    double scale[3];
    double offset[3];
    double shift[3];
    bool has_colors;
};

struct ChunkJob {
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    std::uint32_t count = 0;
    Point* out = nullptr;
    // What the decoding found.
    std::string error;
    std::uint64_t skipped = 0;
    bool over_255 = false;
};

// One thread's decoder and its buffer of a chunk's points.
struct ChunkWorkspace {
    std::unique_ptr<ChunkDecoder> decoder;
    std::vector<LazPoint> points;
};

void decode_chunk(ChunkWorkspace& workspace, const Conversion& conversion, ChunkJob& job) {
    try {
        workspace.points.resize(job.count);
        const char* error =
            workspace.decoder->decode(job.bytes, job.size, job.count, workspace.points.data());
        if (error != nullptr) {
            job.error = error;
            return;
        }
    } catch (const std::bad_alloc&) {
        job.error = "there is not enough memory to decode it";
        return;
    }
    for (std::uint32_t i = 0; i < job.count; ++i) {
        const LazPoint& in = workspace.points[i];
        Point& out = job.out[i];
        out.x = static_cast<float>(in.x * conversion.scale[0] + conversion.offset[0] -
                                   conversion.shift[0]);
        out.y = static_cast<float>(in.y * conversion.scale[1] + conversion.offset[1] -
                                   conversion.shift[1]);
        out.z = static_cast<float>(in.z * conversion.scale[2] + conversion.offset[2] -
                                   conversion.shift[2]);
        if (!(std::isfinite(out.x) && std::isfinite(out.y) && std::isfinite(out.z))) {
            ++job.skipped;
        }
        out.color = 0.0f;
        if (conversion.has_colors) {
            if ((in.red | in.green | in.blue) > 255) {
                job.over_255 = true;
                out.color = color_value(in.red >> 8, in.green >> 8, in.blue >> 8);
            } else {
                out.color = -1.0f - color_value(in.red, in.green, in.blue);
            }
        }
    }
}

// A second thread that decodes the chunks it is handed, one at a time.
class ChunkHelper {
public:
    ChunkHelper(ChunkWorkspace& workspace, const Conversion& conversion)
        : workspace_(workspace), conversion_(conversion), thread_([this] { run(); }) {}

    ~ChunkHelper() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    void hand(ChunkJob& job) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
        }
        changed_.notify_all();
    }

    // Waits until the chunk handed over is decoded.
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return job_ == nullptr; });
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return job_ != nullptr || stopping_; });
            if (job_ == nullptr) {
                return;
            }
            ChunkJob* job = job_;
            lock.unlock();
            decode_chunk(workspace_, conversion_, *job);
            lock.lock();
            job_ = nullptr;
            changed_.notify_all();
        }
    }

    ChunkWorkspace& workspace_;
    const Conversion& conversion_;
    std::mutex mutex_;
    std::condition_variable changed_;
    ChunkJob* job_ = nullptr;
    bool stopping_ = false;
    // Last: it starts running once everything above is set up.
    std::thread thread_;
};

// Starts a helper where the process may use a second processor and the thread starts.
std::unique_ptr<ChunkHelper> start_helper(std::size_t chunk_count, ChunkWorkspace& workspace,
                                          const LazRecord& record, const Conversion& conversion) {
    if (chunk_count < 2 || std::thread::hardware_concurrency() < 2) {
        return nullptr;
    }
    workspace.decoder =
        make_chunk_decoder(record.items, record.compressor == Compressor::layered_chunked);
    try {
        return std::make_unique<ChunkHelper>(workspace, conversion);
    } catch (const std::system_error&) {
        return nullptr;
    }
}

// Settles the colours kept as low bytes, and leaves out the points that did not fit a float.
void finish_points(PointCloud& cloud, std::uint64_t skipped, bool over_255) {
    cloud.skipped_points = skipped;
    if (!cloud.has_colors && skipped == 0) {
        return;
    }
    auto kept = cloud.points.begin();
    for (Point point : cloud.points) {
        if (!(std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z))) {
            continue;
        }
        if (point.color < 0.0f) {
            point.color = over_255 ? 0.0f : -1.0f - point.color;
        }
        *kept++ = point;
    }
    cloud.points.erase(kept, cloud.points.end());
}

void fail_chunk(std::size_t index, std::size_t count, const std::string& error) {
    fail("chunk " + with_commas(index + 1) + " of " + with_commas(count) + " is corrupt: " + error);
}

}  // namespace

void read_laz(ByteSource& source, const LasHeader& header, const ReadOptions& options,
              PointCloud& cloud) {
    // Named as LAS, which the viewer takes for a survey with heights in z.
    cloud.format = "LAS 1." + std::to_string(header.version_minor) + ", point format " +
                   std::to_string(header.point_format) + ", compressed";
    const LazRecord record = read_laz_record(source, header);
    const bool layered = record.compressor == Compressor::layered_chunked;
    cloud.has_colors = las_point_formats[header.point_format].rgb_offset != 0;
    if (header.point_count == 0) {
        return;
    }
    // Every point then has finite coordinates, and the first one decides the shift.
    for (int axis = 0; axis < 3; ++axis) {
        if (!std::isfinite(std::fabs(header.scale[axis]) * 2147483648.0 +
                           std::fabs(header.offset[axis]))) {
            fail("the LAS header's scale and offset take coordinates beyond a double");
        }
    }
    // The points start with the offset of the chunk table, then the chunks.
    const std::uint64_t data_start = std::uint64_t{header.point_offset} + 8;
    std::uint64_t table_offset = 0;
    // The table lies at the end: its reading is no progress through the points.
    source.tell_progress(false);
    std::vector<Chunk> chunks = read_chunk_table(source, header, record, data_start, table_offset);
    source.tell_progress(true);
    check_chunks(chunks, header, record, table_offset - data_start);
    reserve_points(cloud, header.point_count);
    cloud.points.resize(static_cast<std::size_t>(header.point_count));

    source.rewind();
    source.skip(data_start, "the offset to the points");
    // The first chunk starts with the first point raw: x, y and z come first.
    source.request(12);
    Conversion conversion{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        conversion.scale[axis] = header.scale[axis];
        conversion.offset[axis] = header.offset[axis];
        const auto stored = static_cast<std::int32_t>(load_u32(source.data() + 4 * axis, false));
        cloud.shift[axis] = stored * header.scale[axis] + header.offset[axis];
    }
    if (!shifts_from(options.shift, cloud.shift[0], cloud.shift[1], cloud.shift[2])) {
        std::fill(std::begin(cloud.shift), std::end(cloud.shift), 0.0);
    }
    std::copy(std::begin(cloud.shift), std::end(cloud.shift), conversion.shift);
    conversion.has_colors = cloud.has_colors;

    ChunkWorkspace workspaces[2] = {{make_chunk_decoder(record.items, layered), {}}, {}};
    const std::unique_ptr<ChunkHelper> helper =
        start_helper(chunks.size(), workspaces[1], record, conversion);
    const std::size_t step = helper ? 2 : 1;
    std::vector<unsigned char> bytes[2];
    Point* out = cloud.points.data();
    std::uint64_t skipped = 0;
    bool over_255 = false;
    for (std::size_t first = 0; first < chunks.size(); first += step) {
        const std::size_t taken = std::min(step, chunks.size() - first);
        ChunkJob jobs[2];
        for (std::size_t j = 0; j < taken; ++j) {
            const Chunk& chunk = chunks[first + j];
            copy_bytes(source, chunk.size, bytes[j], "a chunk");
            jobs[j].bytes = bytes[j].data();
            jobs[j].size = bytes[j].size();
            jobs[j].count = chunk.count;
            jobs[j].out = out;
            out += chunk.count;
        }
        if (taken == 2) {
            helper->hand(jobs[1]);
        }
        decode_chunk(workspaces[0], conversion, jobs[0]);
        if (taken == 2) {
            helper->wait();
        }
        for (std::size_t j = 0; j < taken; ++j) {
            if (!jobs[j].error.empty()) {
                fail_chunk(first + j, chunks.size(), jobs[j].error);
            }
            skipped += jobs[j].skipped;
            over_255 = over_255 || jobs[j].over_255;
        }
    }
    finish_points(cloud, skipped, over_255);
    drop_colors_of_one_value(cloud);
}
