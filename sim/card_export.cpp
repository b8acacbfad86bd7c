// Copies the files of a card image out to the host's file system, read-only, through the
// same FAT code the firmware uses: what a person finds after putting the card in a reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fat/fat_file.h"
#include "fat/fat_layout.h"
#include "fat/fat_names.h"
#include "fat/fat_volume.h"
#include "sim/simulation.h"

namespace sim {

namespace {

struct ImageFile {
    int fd = -1;
    uint32_t blocks = 0;
};

bool read_image_block(void* context, uint32_t block, uint8_t* dst512) {
    auto* f = static_cast<ImageFile*>(context);
    if (block >= f->blocks) return false;
    return pread(f->fd, dst512, 512, static_cast<off_t>(block) * 512) == 512;
}

bool refuse_write(void*, uint32_t, const uint8_t*) { return false; }
bool nothing_to_sync(void*) { return true; }
uint32_t image_blocks(void* context) { return static_cast<ImageFile*>(context)->blocks; }

bool make_dir(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = path + ": cannot create the folder (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

// A directory of a damaged card may run on through garbage: FAT allows 65536 entries.
constexpr long kMaxDirEntries = 65536;

struct Walk {
    uint64_t image_bytes; // no file of the card holds more: a looping chain stops there
    long copied = 0;
    std::vector<std::string>* unreadable;
    void report(const std::string& line) {
        if (unreadable) unreadable->push_back(line);
    }
};

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The long name that the entries just before short entry `short_index` of `dir` give it,
// as UTF-8, or "" when they give none: parts 1, 2, ... counted back from the short entry,
// the last one flagged, each carrying the checksum of this short name (a long name left
// over from a deleted or renamed entry carries another). Entries before `from` belong to
// the previous short entry.
std::string long_name(FatFile& dir, uint32_t from, uint32_t short_index) {
    using namespace fat_layout;
    uint8_t e[kEntrySize];
    if (!dir.readEntry(short_index, e)) return "";
    const uint8_t sum = fat_long_checksum(e + kDirName);
    std::vector<uint16_t> units;
    uint8_t order = 1;
    for (uint32_t i = short_index; i > from && order <= kLongMaxEntries; ++order) {
        if (!dir.readEntry(--i, e)) return "";
        if ((e[kDirAttr] & kAttrLongMask) != kAttrLongName || e[kDirName] == kEntryDeleted ||
            (e[kLongOrder] & kLongOrderMask) != order || e[kLongChecksum] != sum)
            return "";
        for (uint8_t k = 0; k < kLongCharsPerEntry; ++k) units.push_back(get16(e + kLongCharOffset[k]));
        if (!(e[kLongOrder] & kLongLast)) continue;
        // The name ends at a 0x0000 (unless it fills the last part); only padding follows.
        size_t n = 0;
        while (n < units.size() && units[n] != 0x0000) ++n;
        if (n == 0 || units.size() - n >= kLongCharsPerEntry) return "";
        std::string name;
        for (size_t j = 0; j < n; ++j) {
            uint32_t c = units[j];
            if (c >= 0xD800 && c < 0xDC00 && j + 1 < n && units[j + 1] >= 0xDC00 && units[j + 1] < 0xE000)
                c = 0x10000 + ((c - 0xD800) << 10) + (units[++j] - 0xDC00);
            else if (c >= 0xD800 && c < 0xE000)
                return ""; // half a surrogate pair
            append_utf8(name, c);
        }
        return name == "." || name == ".." ? "" : name;
    }
    return "";
}

// A long name as the host shows it: its UTF-8 kept, what would not print or would make a
// path of it (control characters, slash, backslash) escaped as escaped_card_name does.
std::string escaped_long_name(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += u >= 0x80 ? std::string(1, c) : escaped_card_name(std::string(1, c));
    }
    return out;
}

// Copies directory `fat_path` (escaped, as reported) of the volume into `dest`. A file or
// directory the image cannot give is reported and passed over; false only when the host
// side fails (`error`).
bool copy_dir(Walk& w, FatFile& dir, const std::string& fat_path, const std::string& dest, int depth,
              std::string& error) {
    if (!make_dir(dest, error)) return false;
    FatFile entry;
    long entries = 0;
    uint32_t from = dir.position() / fat_layout::kEntrySize;
    while (entry.openNext(dir, O_READ)) {
        if (++entries > kMaxDirEntries) {
            entry.close();
            w.report("card directory " + fat_path + ": more than 65536 entries; the rest is not copied");
            break;
        }
        char raw[13];
        const uint32_t short_index = dir.position() / fat_layout::kEntrySize - 1;
        const std::string long_text = long_name(dir, from, short_index);
        from = short_index + 1;
        if (entry.getName(raw, sizeof raw) == 0) {
            entry.close();
            continue;
        }
        // The name a computer shows for the entry: its long name when it has one.
        const std::string name = long_text.empty() ? escaped_card_name(raw) : escaped_long_name(long_text);
        const std::string child = (fat_path == "/" ? "" : fat_path) + "/" + name;
        if (entry.isDir()) {
            if (depth >= 16) {
                // Deeper trees are not ours; a loop in a damaged image ends here.
                w.report("card directory " + child + ": nested too deep (a loop in the image?); not copied");
            } else if (!copy_dir(w, entry, child, dest + "/" + name, depth + 1, error)) {
                return false;
            }
            entry.close();
            continue;
        }
        const std::string host = dest + "/" + name;
        std::ofstream out(host, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = host + ": cannot write";
            return false;
        }
        const uint32_t size = entry.size();
        uint64_t got = 0;
        char buf[4096];
        int n;
        while ((n = entry.read(buf, sizeof buf)) > 0 && got < w.image_bytes) {
            out.write(buf, n);
            got += static_cast<uint64_t>(n);
        }
        entry.close();
        if (!out) {
            error = host + ": cannot write";
            return false;
        }
        if (n < 0 || got < size)
            w.report("card file " + child + ": read error in the image after " + std::to_string(got) + " of " +
                     std::to_string(size) + " bytes; the copy holds the bytes before it");
        else
            ++w.copied;
    }
    // A folder always starts with its "." entry: one that gave nothing at all has a chain
    // that cannot be followed (an empty root is only empty).
    if (depth > 0 && dir.position() == 0)
        w.report("card directory " + fat_path + ": cannot be read (a damaged cluster chain); nothing in it copied");
    return true;
}

} // namespace

std::string escaped_card_name(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        // Short names hold bytes of the card's code page: only plain ASCII prints as is; a
        // slash or backslash would make a path of the name.
        if (c >= 0x20 && c < 0x7F && c != '/' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

long export_card_files(const std::string& image, const std::string& dest, bool& mounted, std::string& error,
                       std::vector<std::string>* unreadable) {
    ImageFile f;
    f.fd = open(image.c_str(), O_RDONLY);
    if (f.fd < 0) {
        error = image + ": cannot open the card image (" + std::strerror(errno) + ")";
        return -1;
    }
    struct stat st {};
    fstat(f.fd, &st);
    f.blocks = static_cast<uint32_t>(st.st_size / 512);
    FatBlockDevice device{&f, read_image_block, refuse_write, nothing_to_sync, image_blocks};
    FatVolume volume;
    volume.attach(&device);
    Walk w{static_cast<uint64_t>(st.st_size), 0, unreadable};
    bool ok = true;
    mounted = volume.mount(1) || volume.mount(0);
    if (!mounted) {
        // A card the firmware has not formatted yet, or one damaged beyond mounting: the
        // image itself is still there to look at, so this is not an error of the run.
        if (!make_dir(dest, error)) ok = false;
    } else {
        FatFile root;
        if (!root.open(volume, "/", O_READ)) {
            w.report("card directory /: cannot be opened; nothing copied");
            ok = make_dir(dest, error);
        } else {
            ok = copy_dir(w, root, "/", dest, 0, error);
            root.close();
        }
    }
    volume.unmount();
    close(f.fd);
    return ok ? w.copied : -1;
}

namespace {

bool card_block_read(void* c, uint32_t block, uint8_t* dst) { return static_cast<SdCard*>(c)->read(block, dst); }
bool card_block_write(void* c, uint32_t block, const uint8_t* src) { return static_cast<SdCard*>(c)->write(block, src); }
bool card_block_sync(void*) { return true; }
uint32_t card_block_count(void* c) { return static_cast<SdCard*>(c)->block_count(); }

} // namespace

bool fill_card(SdCard& card, uint64_t free_bytes, std::string& error) {
    const bool was_present = card.present();
    card.set_present(true); // on the computer's reader, not in the buoy's socket
    FatBlockDevice device{&card, card_block_read, card_block_write, card_block_sync, card_block_count};
    FatVolume volume;
    volume.attach(&device);
    bool ok = volume.mount(1) || volume.mount(0);
    if (!ok) {
        error = card.path() + ": no FAT volume to fill";
    } else {
        const uint64_t cluster = static_cast<uint64_t>(volume.clusterBlocks()) * 512;
        int32_t free_clusters = volume.freeClusters();
        FatFile f;
        ok = free_clusters >= 0 && f.open(volume, "/RELLENO.BIN", FAT_OPEN_WRITE | FAT_OPEN_CREATE | FAT_OPEN_APPEND);
        static const uint8_t zeros[512] = {};
        // Cluster by cluster while more than free_bytes stay free; the last one may be gone
        // to the directory's own growth, which leaves the card full, as asked.
        bool full = false;
        for (uint64_t left = static_cast<uint64_t>(free_clusters < 0 ? 0 : free_clusters) * cluster;
             ok && !full && left > free_bytes && left >= cluster; left -= cluster)
            for (uint32_t b = 0; ok && !full && b < volume.clusterBlocks(); ++b)
                if (f.write(zeros, sizeof zeros) != sizeof zeros) {
                    full = volume.full();
                    ok = full;
                }
        ok = f.close() && ok;
        if (!ok) error = card.path() + ": filling the card failed";
    }
    volume.unmount();
    card.set_present(was_present);
    return ok;
}

} // namespace sim
