// Reading manual pages the way a user sees them: rendered by groff for a
// terminal, split into sections, with the tags of tagged paragraphs and the
// words set in italics (the placeholders of a message) recovered from the
// terminal driver's overstrike sequences.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace manpage {

// One rendered line: its characters and, per character, 'R' roman,
// 'B' bold or 'I' italic.
struct Line {
    std::string text;
    std::string attr;
    std::size_t indent() const;
    bool blank() const;
};

// The tag of a tagged paragraph (.TP) and the first line of its body.  Tags
// set with no paragraph distance between them (.PD 0) share one body.
struct Tag {
    Line line;
    std::string body;
};

struct Rendered {
    int status = -1;
    std::string warnings; // what groff wrote to standard error
    std::vector<Line> lines;

    // Lines between the heading NAME and the next heading, headings excluded;
    // empty when the page has no such section.
    std::vector<Line> section(std::string_view heading) const;
    std::vector<std::string> headings() const;
};

// Path of a page of the source tree (share/man/man1/NAME.1).
std::string page_path(const std::string &program);

// Renders a page for an ASCII terminal so wide that a paragraph fits on one
// line, with bold and italics kept as overstrikes and decoded.
Rendered render(const std::string &path);

// Runs groff with all warnings enabled and no output; returns what it wrote
// to standard error, or a description of the failure.  Extra arguments pick
// the device and line length.
std::string warnings(const std::string &path, const std::vector<std::string> &extra = {});

// The command blocks (.EX to .EE) of a page's EXAMPLES section as a reader
// sees them: rendered by groff like the page, without the section's indent.
std::vector<std::string> examples(const std::string &path);

// Tagged paragraphs of a section.
std::vector<Tag> tags(const std::vector<Line> &section);

// Text of lines joined by single blanks, with runs of white space collapsed.
std::string flatten(const std::vector<Line> &lines);
std::string squeeze(std::string_view s);

// A message format ("Cannot read line %d.\n") in the form that documented
// tags are compared in: no line end, white space squeezed, every printf
// conversion replaced by the placeholder mark.
std::string format_key(std::string_view format);
// The same for a rendered tag: every run of italic words is a placeholder.
std::string tag_key(const Line &tag);
// Whether a line a program wrote matches a documented tag, italic words
// standing for any text.
bool tag_matches(const Line &tag, std::string_view message);

inline constexpr char kPlaceholder = '\x01';

} // namespace manpage
