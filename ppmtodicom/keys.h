// Attributes named on the command line (-k KEY=VALUE, --study-from,
// --series-from), turned into the header comments an input could carry.
#pragma once

#include <string>
#include <string_view>

namespace kuvra_convert {

// One -k argument, "KEY=VALUE" with KEY a keyword of the data dictionary,
// "(gggg,eeee)" or "gggg,eeee" of an attribute the dictionary knows, such a
// tag followed by "/VR" (a private attribute; VR one of text_vr's), or a
// key the shipped templates read (ExportField,
// ByteOrder): its header-comment lines (a DICOM attribute always in the
// "#Dicom/(gggg,eeee):" form, which templates prefer to the keyword form)
// are appended to lines.  false after a logged message (unknown key, no
// "=", a value with a line break); lines is then unchanged.
bool key_option_comment(std::string_view arg, std::string &lines);

// The VR a header comment's or -k's text is written in, for a VR of the
// data dictionary (DCMTK's "xs" is US, "up" UL); empty for the binary VRs
// and sequences, which no text carries.
std::string_view text_vr(std::string_view vr);

// Whether key is one that the shipped templates read and that names no
// DICOM attribute (ExportField, ByteOrder).
bool is_template_key(std::string_view key);

// Runs "kuvra_dicom_synthesizer --study-of FILE" (series: --series-of;
// instance_inc: with --instance-inc, for an InstanceNumber one above the
// file's) and
// appends the header-comment lines it prints to lines.  false after a
// logged message: the program is not found (find_synthesizer), or could
// not read FILE (its own message comes first then).
bool reference_comments(const char *file, bool series, bool instance_inc, std::string &lines);

} // namespace kuvra_convert
