// DCMTK's data dictionary, filled from the compact table built into the
// program (kuvra/internal/dicomdict.h) with the attributes a run needs,
// instead of parsed from DCMTK's dictionary text at every start: the
// parse took most of the fixed cost of one export.
#pragma once

#include "synth_parse.h"

#include <span>

namespace kuvra::synth {

// Before DCMTK first looks at its dictionary: lets it start empty, to be
// filled by dictionary_for.  A DCMDICTPATH of the user's is left to DCMTK
// (a dictionary of their own may differ from the table), and so is every
// program that does not call this: their dictionary loads whole, as usual.
void defer_dictionary();

// Makes DCMTK's dictionary answer for the tags of elems, and for
// those that dataset assembly and output look up of their own accord (the
// file meta group, the UIDs completed, the character set).  When one of the
// tags is not in the table (a private attribute, say), the dictionary is
// loaded whole, so that every lookup answers as DCMTK's own would.  False,
// with err filled in, when no dictionary could be loaded.
bool dictionary_for(std::span<const Element> elems, ParseError &err);

// The whole dictionary, for reading a file of unknown content.
bool full_dictionary(ParseError &err);

} // namespace kuvra::synth
