// File names in FAT directories: 8.3 short names with their lower-case flags, long-name
// entries and the short alias a long name is stored under.
//
// Portable. Names are ASCII. A name that fits 8.3 with each part in one case ("1430.raw",
// "_sd", "README.TXT") is stored as one short entry, its case kept by the entry's
// lower-case flags as common FAT drivers do. Any other valid name ("escritura_sd.txt",
// "Notes.txt") gets long-name entries followed by a unique alias such as "ESCRIT~1.TXT".
#pragma once

#include <stddef.h>
#include <stdint.h>

// One path component, classified for directory searches and for creating its entry.
struct FatName {
    const char* text;     // the component (not terminated)
    uint8_t length;       // 1..255 characters
    uint8_t sfn[11];      // upper-case, space-padded 8.3 form; valid when short_shape
    uint8_t nt_case;      // lower-case flags stored with sfn when fits_short
    bool short_shape;     // shaped like an 8.3 name, case aside: matches short entries
    bool fits_short;      // stored as a lone short entry
    uint8_t long_entries; // long-name entries needed when it does not fit (1..20)
};

// Classifies text[0..length); false when it is no valid FAT name ("." and ".." included).
bool fat_parse_name(const char* text, size_t length, FatName& name);

// The alias of a long name before its numeric tail: up to 8 upper-case characters of base
// (base_length of them) and 3 of extension, in sfn (space padded).
void fat_alias_stem(const FatName& name, uint8_t sfn[11], uint8_t& base_length);

// Puts the tail "~n" (n >= 1) into an alias stem, shortening the base to make room.
// False when n has too many digits to fit.
bool fat_alias_tail(uint8_t sfn[11], uint8_t base_length, uint32_t n);

// Case-insensitive comparison of a short entry's 11 name bytes with an upper-case sfn.
bool fat_short_equal(const uint8_t* entry, const uint8_t sfn[11]);

// Checksum of a short name that its long-name entries carry.
uint8_t fat_long_checksum(const uint8_t* sfn);

// Fills a long-name entry: part `order` (1 = first 13 characters) of the name.
void fat_long_fill(uint8_t* entry, const FatName& name, uint8_t order, bool last, uint8_t checksum);

// Whether part `order` of a long-name entry holds the matching piece of `name` (ASCII,
// case-insensitive, terminated where the name ends).
bool fat_long_part_equal(const uint8_t* entry, const FatName& name, uint8_t order);

// Writes an entry's short name as text ("1430.raw", "ESCRIT~1.TXT"): up to 12 characters
// and a terminator, so out must hold 13. Returns the length.
size_t fat_short_text(const uint8_t* sfn, uint8_t nt_case, char* out);
