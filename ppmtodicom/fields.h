// Internal interfaces between the line loop and the image and field emitters.
#pragma once

#include "ppmtodicom.h"

#include <cstdint>
#include <cstdio>

namespace kuvra_convert {

enum class ScanResult { none, ok, overflow };

// One decimal number as "%d" reads it (leading blanks, optional sign), but
// range-checked: ok with *value set, overflow when it does not fit a signed
// 32-bit number (*value then INT64_MAX or INT64_MIN), none when there is no
// number.  *end, if given, is set behind the digits (to text for none).
ScanResult scan_int(const char *text, int64_t *value, const char **end = nullptr);

// The P6 emitter: line holds the size line; reads the depth line itself into
// line, writes the RGB field and spools the pixels.  0, or 1 after a logged
// fatal condition.
int emit_rgb(char *line, FILE *in, FILE *out);
// The P5 emitter, the same for the field GREY (depth 1 to 65535).
int emit_grey(char *line, FILE *in, FILE *out);

enum class FieldResult {
    converted, // the block was read up to its ENDFIELD
    abandoned, // bad type descriptor: logged, reading goes on at top level
    fatal      // logged; the run must stop
};
// Reads a field block after its "FIELD" line, writes its definitions and
// spools its data.  line is the shared KV_LINE_BUFSIZE buffer.
FieldResult read_field_block(char *line, FILE *in, FILE *out);

} // namespace kuvra_convert
