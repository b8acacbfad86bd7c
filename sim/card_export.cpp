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

// Copies directory `fat_path` (escaped, as reported) of the volume into `dest`. A file or
// directory the image cannot give is reported and passed over; false only when the host
// side fails (`error`).
bool copy_dir(Walk& w, FatFile& dir, const std::string& fat_path, const std::string& dest, int depth,
              std::string& error) {
    if (!make_dir(dest, error)) return false;
    FatFile entry;
    long entries = 0;
    while (entry.openNext(dir, O_READ)) {
        if (++entries > kMaxDirEntries) {
            entry.close();
            w.report("card directory " + fat_path + ": more than 65536 entries; the rest is not copied");
            break;
        }
        char raw[13];
        if (entry.getName(raw, sizeof raw) == 0) {
            entry.close();
            continue;
        }
        const std::string name = escaped_card_name(raw);
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

} // namespace sim
