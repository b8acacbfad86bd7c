// File names in FAT directories: classification, short aliases and long-name entries.
#include "fat_names.h"

#include <string.h>

#include "fat_layout.h"

using namespace fat_layout;

namespace {

bool is_lower(uint8_t c) { return c >= 'a' && c <= 'z'; }
bool is_upper(uint8_t c) { return c >= 'A' && c <= 'Z'; }
uint8_t to_upper(uint8_t c) { return is_lower(c) ? static_cast<uint8_t>(c - 'a' + 'A') : c; }
uint8_t to_lower(uint8_t c) { return is_upper(c) ? static_cast<uint8_t>(c - 'A' + 'a') : c; }

// Characters a short name may hold besides letters and digits.
bool short_char(uint8_t c) {
    if (is_lower(c) || is_upper(c) || (c >= '0' && c <= '9')) return true;
    return c != 0 && strchr("$%'-_@~`!(){}^#&", c) != nullptr;
}

// Characters no FAT name may hold: controls, the path and wildcard characters, and (in
// this ASCII-only layer) every byte above 126.
bool forbidden_char(uint8_t c) {
    return c < 0x20 || c > 0x7E || strchr("\"*/:<>?\\|", c) != nullptr;
}

} // namespace

bool fat_parse_name(const char* text, size_t length, FatName& name) {
    memset(&name, 0, sizeof name);
    if (length == 0 || length > 255) return false;
    if ((length == 1 && text[0] == '.') || (length == 2 && text[0] == '.' && text[1] == '.')) return false;
    for (size_t i = 0; i < length; ++i)
        if (forbidden_char(static_cast<uint8_t>(text[i]))) return false;
    // Other systems drop trailing dots and spaces; refusing them keeps one name per entry.
    uint8_t tail = static_cast<uint8_t>(text[length - 1]);
    if (tail == '.' || tail == ' ') return false;
    name.text = text;
    name.length = static_cast<uint8_t>(length);
    name.long_entries = static_cast<uint8_t>((length + kLongCharsPerEntry - 1) / kLongCharsPerEntry);

    // 8.3 shape: base of 1..8 short characters, at most one dot, extension of 0..3.
    const char* dot = static_cast<const char*>(memchr(text, '.', length));
    size_t base_len = dot ? static_cast<size_t>(dot - text) : length;
    size_t ext_len = dot ? length - base_len - 1 : 0;
    bool shape = base_len >= 1 && base_len <= 8 && ext_len <= 3 &&
                 (!dot || memchr(dot + 1, '.', ext_len) == nullptr);
    for (size_t i = 0; shape && i < length; ++i)
        if (text + i != dot && !short_char(static_cast<uint8_t>(text[i]))) shape = false;
    if (!shape) return true;

    name.short_shape = true;
    memset(name.sfn, ' ', sizeof name.sfn);
    bool base_lower = false, base_upper = false, ext_lower = false, ext_upper = false;
    for (size_t i = 0; i < base_len; ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        base_lower |= is_lower(c);
        base_upper |= is_upper(c);
        name.sfn[i] = to_upper(c);
    }
    for (size_t i = 0; i < ext_len; ++i) {
        uint8_t c = static_cast<uint8_t>(dot[1 + i]);
        ext_lower |= is_lower(c);
        ext_upper |= is_upper(c);
        name.sfn[8 + i] = to_upper(c);
    }
    // Mixed case inside one part cannot be told by the flags: such a name gets a long entry.
    name.fits_short = !(base_lower && base_upper) && !(ext_lower && ext_upper);
    if (name.fits_short)
        name.nt_case = static_cast<uint8_t>((base_lower ? kNtLowerBase : 0) | (ext_lower ? kNtLowerExt : 0));
    return true;
}

void fat_alias_stem(const FatName& name, uint8_t sfn[11], uint8_t& base_length) {
    memset(sfn, ' ', 11);
    // The extension is what follows the last dot, unless that dot leads the name.
    size_t ext_at = name.length;
    for (size_t i = name.length; i-- > 1;) {
        if (name.text[i] == '.') {
            ext_at = i;
            break;
        }
    }
    auto alias_char = [](uint8_t c) -> uint8_t { return short_char(c) ? to_upper(c) : '_'; };
    base_length = 0;
    for (size_t i = 0; i < ext_at && base_length < 8; ++i) {
        uint8_t c = static_cast<uint8_t>(name.text[i]);
        if (c == ' ' || c == '.') continue;
        sfn[base_length++] = alias_char(c);
    }
    if (base_length == 0) sfn[base_length++] = '_';
    uint8_t e = 0;
    for (size_t i = ext_at + 1; i < name.length && e < 3; ++i) {
        uint8_t c = static_cast<uint8_t>(name.text[i]);
        if (c == ' ' || c == '.') continue;
        sfn[8 + e++] = alias_char(c);
    }
}

bool fat_alias_tail(uint8_t sfn[11], uint8_t base_length, uint32_t n) {
    char digits[10];
    uint8_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0 && count < sizeof digits);
    if (n != 0 || count > 6) return false;
    uint8_t keep = static_cast<uint8_t>(8 - 1 - count);
    if (base_length < keep) keep = base_length;
    memset(sfn + keep, ' ', 8 - keep);
    sfn[keep] = '~';
    for (uint8_t i = 0; i < count; ++i) sfn[keep + 1 + i] = static_cast<uint8_t>(digits[count - 1 - i]);
    return true;
}

bool fat_short_equal(const uint8_t* entry, const uint8_t sfn[11]) {
    for (int i = 0; i < 11; ++i) {
        uint8_t c = entry[i];
        if (i == 0 && c == kEntryE5) c = kEntryDeleted;
        if (to_upper(c) != sfn[i]) return false;
    }
    return true;
}

uint8_t fat_long_checksum(const uint8_t* sfn) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + sfn[i]);
    return sum;
}

void fat_long_fill(uint8_t* entry, const FatName& name, uint8_t order, bool last, uint8_t checksum) {
    memset(entry, 0, kEntrySize);
    entry[kLongOrder] = static_cast<uint8_t>(order | (last ? kLongLast : 0));
    entry[kDirAttr] = kAttrLongName;
    entry[kLongChecksum] = checksum;
    size_t first = static_cast<size_t>(order - 1) * kLongCharsPerEntry;
    for (uint8_t k = 0; k < kLongCharsPerEntry; ++k) {
        size_t at = first + k;
        // After the name: one 0x0000 terminator, then 0xFFFF padding.
        uint16_t ch = at < name.length ? static_cast<uint8_t>(name.text[at]) : at == name.length ? 0x0000 : 0xFFFF;
        put16(entry + kLongCharOffset[k], ch);
    }
}

bool fat_long_part_equal(const uint8_t* entry, const FatName& name, uint8_t order) {
    size_t first = static_cast<size_t>(order - 1) * kLongCharsPerEntry;
    for (uint8_t k = 0; k < kLongCharsPerEntry; ++k) {
        size_t at = first + k;
        uint16_t ch = get16(entry + kLongCharOffset[k]);
        if (at < name.length) {
            if (ch > 0x7F) return false;
            if (to_lower(static_cast<uint8_t>(ch)) != to_lower(static_cast<uint8_t>(name.text[at]))) return false;
        } else if (at == name.length) {
            return ch == 0x0000;
        }
    }
    return true;
}

size_t fat_short_text(const uint8_t* sfn, uint8_t nt_case, char* out) {
    // Padding is trailing spaces; a space inside a part (written by other systems) is kept.
    int base_end = 8, ext_end = 11;
    while (base_end > 0 && sfn[base_end - 1] == ' ') --base_end;
    while (ext_end > 8 && sfn[ext_end - 1] == ' ') --ext_end;
    size_t n = 0;
    for (int i = 0; i < base_end; ++i) {
        uint8_t c = (i == 0 && sfn[0] == kEntryE5) ? kEntryDeleted : sfn[i];
        out[n++] = static_cast<char>((nt_case & kNtLowerBase) ? to_lower(c) : c);
    }
    if (ext_end > 8) {
        out[n++] = '.';
        for (int i = 8; i < ext_end; ++i)
            out[n++] = static_cast<char>((nt_case & kNtLowerExt) ? to_lower(sfn[i]) : sfn[i]);
    }
    out[n] = '\0';
    return n;
}
