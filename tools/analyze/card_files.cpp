#include "card_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "fat/fat_file.h"
#include "fat/fat_volume.h"

namespace analyze {

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && lower(s.substr(s.size() - tail.size())) == tail;
}

bool is_day_name(const std::string& s) {
    return s.size() == 6 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_dir(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string base_name(const std::string& p) {
    std::string s = p;
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    const size_t at = s.rfind('/');
    return at == std::string::npos ? s : s.substr(at + 1);
}

std::string parent_name(const std::string& p) {
    const size_t at = p.rfind('/');
    return at == std::string::npos ? "" : base_name(p.substr(0, at));
}

bool read_host_file(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return true;
}

void keep(CardFiles& out, DataFile f) {
    if (ends_with(f.name, ".raw")) out.raw.push_back(std::move(f));
    else if (ends_with(f.name, ".res")) out.res.push_back(std::move(f));
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool add_day_dir(const std::string& dir, CardFiles& out, std::string& error) {
    for (const std::string& n : entries(dir)) {
        const std::string p = dir + "/" + n;
        if (!is_file(p) || !(ends_with(n, ".raw") || ends_with(n, ".res"))) continue;
        DataFile f{p, base_name(dir), n, ""};
        if (!read_host_file(p, f.text, error)) return false;
        keep(out, std::move(f));
    }
    return true;
}

// ---- card images, through the same FAT code the firmware writes with

struct Image {
    int fd = -1;
    uint32_t blocks = 0;
};

bool image_read(void* context, uint32_t block, uint8_t* dst512) {
    const Image* im = static_cast<const Image*>(context);
    return block < im->blocks && pread(im->fd, dst512, 512, static_cast<off_t>(block) * 512) == 512;
}
bool image_no_write(void*, uint32_t, const uint8_t*) { return false; }
bool image_sync(void*) { return true; }
uint32_t image_size(void* context) { return static_cast<const Image*>(context)->blocks; }

bool read_fat_file(FatVolume& vol, const std::string& path, std::string& text) {
    FatFile f;
    if (!f.open(vol, path.c_str(), O_READ)) return false;
    text.clear();
    char buf[8192];
    int n;
    while ((n = f.read(buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    f.close();
    return n == 0;
}

std::vector<std::pair<std::string, bool>> fat_entries(FatVolume& vol, const std::string& path) {
    std::vector<std::pair<std::string, bool>> out;
    FatFile dir, e;
    if (!dir.open(vol, path.c_str(), O_READ)) return out;
    while (e.openNext(dir, O_READ)) {
        char name[13];
        if (e.getName(name, sizeof name) > 0) out.emplace_back(name, e.isDir());
        e.close();
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Returns 1 done, 0 not a FAT image (nothing gathered), -1 error.
int add_image(const std::string& path, CardFiles& out, std::string& error) {
    Image im;
    im.fd = open(path.c_str(), O_RDONLY);
    if (im.fd < 0) {
        error = path + ": cannot be opened (" + std::strerror(errno) + ")";
        return -1;
    }
    struct stat st {};
    fstat(im.fd, &st);
    im.blocks = static_cast<uint32_t>(std::min<off_t>(st.st_size / 512, 0xFFFFFFFF));
    FatBlockDevice dev{&im, image_read, image_no_write, image_sync, image_size};
    FatVolume vol;
    vol.attach(&dev);
    int result = 0;
    if (vol.mount(1) || vol.mount(0)) {
        result = 1;
        for (const auto& day : fat_entries(vol, "/")) {
            if (!day.second || !is_day_name(day.first)) continue;
            for (const auto& file : fat_entries(vol, "/" + day.first)) {
                if (file.second) continue;
                DataFile f{path + ":/" + day.first + "/" + file.first, day.first, file.first, ""};
                if (!(ends_with(f.name, ".raw") || ends_with(f.name, ".res"))) continue;
                if (!read_fat_file(vol, "/" + day.first + "/" + file.first, f.text)) {
                    error = f.label + ": read error in the card image";
                    result = -1;
                    break;
                }
                keep(out, std::move(f));
            }
            if (result < 0) break;
        }
        vol.unmount();
    }
    close(im.fd);
    return result;
}

bool add_input(const std::string& in, CardFiles& out, std::string& error) {
    if (is_dir(in)) {
        if (is_dir(in + "/sd")) return add_input(in + "/sd", out, error);
        if (is_file(in + "/sd.img")) return add_input(in + "/sd.img", out, error);
        const size_t before = out.raw.size() + out.res.size();
        if (!add_day_dir(in, out, error)) return false;
        for (const std::string& n : entries(in))
            if (is_day_name(n) && is_dir(in + "/" + n) && !add_day_dir(in + "/" + n, out, error)) return false;
        if (out.raw.size() + out.res.size() == before) {
            error = in + ": no .raw or .res files in it nor in day folders (YYMMDD) under it";
            return false;
        }
        return true;
    }
    if (!is_file(in)) {
        error = in + ": no such file or folder";
        return false;
    }
    const std::string name = base_name(in);
    if (ends_with(name, ".raw") || ends_with(name, ".res")) {
        DataFile f{in, parent_name(in), name, ""};
        if (!read_host_file(in, f.text, error)) return false;
        keep(out, std::move(f));
        return true;
    }
    const int r = add_image(in, out, error);
    if (r == 0)
        error = in + ": not a .raw or .res file and no FAT volume on it (expected a card image, a folder or RAW files)";
    return r == 1;
}

} // namespace

bool gather_files(const std::vector<std::string>& inputs, CardFiles& out, std::string& error) {
    for (const std::string& in : inputs)
        if (!add_input(in, out, error)) return false;
    auto order = [](const DataFile& a, const DataFile& b) {
        return a.day != b.day ? a.day < b.day : lower(a.name) < lower(b.name);
    };
    std::stable_sort(out.raw.begin(), out.raw.end(), order);
    std::stable_sort(out.res.begin(), out.res.end(), order);
    return true;
}

} // namespace analyze
