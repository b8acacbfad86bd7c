// Copies the files of a card image out to the host's file system, read-only, through the
// same FAT code the firmware uses: what a person finds after putting the card in a reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

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

// Copies directory `fat_path` of the volume into `dest`; counts the files in `copied`.
bool copy_dir(FatVolume& volume, const std::string& fat_path, const std::string& dest, long& copied, int depth,
              std::string& error) {
    if (!make_dir(dest, error)) return false;
    if (depth > 16) return true; // deeper trees are not ours; a loop in a damaged image ends here
    FatFile dir;
    if (!dir.open(volume, fat_path.c_str(), O_READ)) {
        error = "card directory " + fat_path + ": cannot be opened";
        return false;
    }
    FatFile entry;
    while (entry.openNext(dir, O_READ)) {
        char name[13];
        if (entry.getName(name, sizeof name) == 0) continue;
        std::string child = (fat_path == "/" ? "" : fat_path) + "/" + name;
        if (entry.isDir()) {
            entry.close();
            if (!copy_dir(volume, child, dest + "/" + name, copied, depth + 1, error)) return false;
            continue;
        }
        std::ofstream out(dest + "/" + name, std::ios::binary | std::ios::trunc);
        char buf[4096];
        int n;
        while ((n = entry.read(buf, sizeof buf)) > 0) out.write(buf, n);
        entry.close();
        if (n < 0) {
            error = "card file " + child + ": read error in the image";
            return false;
        }
        if (!out) {
            error = dest + "/" + name + ": cannot write";
            return false;
        }
        ++copied;
    }
    return true;
}

} // namespace

long export_card_files(const std::string& image, const std::string& dest, bool& mounted, std::string& error) {
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
    long copied = 0;
    bool ok = true;
    mounted = volume.mount(1) || volume.mount(0);
    if (!mounted) {
        // A card the firmware has not formatted yet, or one damaged beyond mounting: the
        // image itself is still there to look at, so this is not an error of the run.
        if (!make_dir(dest, error)) ok = false;
    } else {
        ok = copy_dir(volume, "/", dest, copied, 0, error);
    }
    volume.unmount();
    close(f.fd);
    return ok ? copied : -1;
}

} // namespace sim
