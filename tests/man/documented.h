// What each installed program accepts and says: the options and the
// messages a user can meet, as the programs print them (printf formats).
// Every entry must be explained in the program's manual page.
#pragma once

#include <ostream>
#include <string_view>
#include <vector>

namespace documented {

struct Program {
    std::string_view name;
    std::vector<std::string_view> options;
    std::vector<std::string_view> messages;
    // Whether the page must spell out the DICOM module search path.
    bool module_search_path = false;
};

// Test names and failure reports show the program by name.
inline void PrintTo(const Program &p, std::ostream *os) {
    *os << p.name;
}

inline const std::vector<Program> &programs() {
    static const std::vector<Program> table{
        {"kuvra_ppmtodicom",
         {"-m", "-d", "-k", "--study-from", "--series-from", "--instance-inc", "-o", "--new-uid",
          "-h", "--help", "--version"},
         {
             "Unknown option.\n",
             "Usage: %s [-m|-d m4module]\n",
             "Only one input file is taken; give each its own run.\n",
             "Unknown key for -k: %s (a DICOM keyword such as PatientName, or (gggg,eeee))\n",
             "Did you mean %s?\n",
             "Option -k takes KEY=VALUE, not %s\n",
             "Option -k %s: the value holds a line break\n",
             "Option -k %s: the attribute is not in the data dictionary; name its VR, as in "
             "%s/LO=VALUE\n",
             "Option -k %s: %s is no VR a text value can be given in (AE, AS, AT, CS, DA, DS, DT, "
             "FD, FL, IS, LO, LT, PN, SH, SL, SS, ST, SV, TM, UC, UI, UL, UR, US, UT, UV)\n",
             "Option --instance-inc increases the InstanceNumber of the file of --study-from or "
             "--series-from; give one.\n",
             "Cannot open input file %s: %s\n",
             "Cannot create output file %s: %s\n",
             "Cannot write output file %s: %s\n",
             "The input is damaged or cut short: %s failed on it (%s).\n",
             "Cannot create a file in %s: %s\n",
             "Cannot write the DICOM: %s\n",
             "Cannot cut the output back to its old length: %s\n",
             "m4 ended by signal %d.\n",
             "kuvra_dicom_synthesizer ended by signal %d.\n",
             "kuvra_dicom_synthesizer: the element list ends without its last line \"# end of "
             "element list\": m4 or the template stopped before the end\n",
             "Cannot find kuvra_dicom_synthesizer in %s nor on PATH: it reads the file of %s.\n",
             "Cannot join the %s of %s.\n",
             "kuvra_dicom_synthesizer: %s: cannot read it as DICOM: %s\n",
             "kuvra_dicom_synthesizer: %s: it has no StudyInstanceUID (0020,000D)\n",
             "kuvra_dicom_synthesizer: %s: it has no SeriesInstanceUID (0020,000E)\n",
             "kuvra_dicom_synthesizer: %s: cannot convert its character set to UTF-8\n",
             "kuvra_dicom_synthesizer: %s: %s holds a line break\n",
             "kuvra_dicom_synthesizer: %s: it has no InstanceNumber (0020,0013) to increase\n",
             "kuvra_dicom_synthesizer: %s: its InstanceNumber (0020,0013) cannot be increased\n",
             "Cannot find requested DICOM module.\n",
             "No DICOM module \"%s\" on the search path; the modules there: %s\n",
             "Cannot find DICOM config module dir. ??\n",
             "Cannot open output file/pipe.\n",
             "Cannot find %s on PATH: put the directory that holds it on PATH (the build tree's "
             "bin, or the installation's bin directory).\n",
             "Cannot find kuvra_dicom_synthesizer in %s nor on PATH: install it next to "
             "kuvra_ppmtodicom, put the directory that holds it on PATH (the build tree's bin, or "
             "the installation's bin directory), or name it in %s.\n",
             "Cannot run %s, which %s names.\n",
             "Input file must be P5, P6 or KUVRA_FIELDSET\n",
             "The input is empty.\n",
             "The input is %s; convert it first: %s\n",
             "The input is of type %s; netpbm converts most images: anytopnm %s\n",
             "The input is of no type the converter knows; netpbm converts most images: anytopnm "
             "%s\n",
             "Cannot open input stream.\n",
             "Cannot write macro stream.\n",
             "P5 failure reading size.\n",
             "P5 failure reading depth.\n",
             "P5 depth is not 1 to 65535.\n",
             "P6 failure reading size.\n",
             "P6 failure reading depth.\n",
             "P6 depth is not 255.\n",
             "Image size not supported.\n",
             "Field size not supported.\n",
             "Dimensions bad!\n",
             "ENDFIELD not found.\n",
             "Field copy failure.\n",
             "Ouch - rlen failure?\n",
             "Ouch - wlen failure?\n",
             "Header comment with unbalanced m4 quotes dropped: %s\n",
             "Header comment with reserved macro name dropped: %s\n",
             "More than 4096 header comments or 1 MiB of them; the input is refused.\n",
             "Header comment with control character 0x%02X dropped: %s\n",
             "Header comment with a tag number beyond four hex digits dropped: %s\n",
             "Header comment %s is not a DICOM keyword and sets no attribute; did you mean %s?\n",
             "Header comment %s dropped: a blank follows the colon where a TAB must; write "
             "#%s:<TAB>value\n",
             "Header comment %s: the attribute is not in the data dictionary; name its VR, as "
             "in Dicom/(gggg,eeee)/LO\n",
             "Header comment %s: its attribute has VR %s, which no header comment can give; "
             "left out\n",
             "Field name too long.\n",
             "Input line too long.\n",
             "Non-field keyword in fieldset file: %s\n",
             "Cannot parse type descriptor\n",
             // m4's own, from the prelude macros XX_REQUIRE and XX_REQUIRE_VALUE.
             "Cannot find %s, but marked as required.\n",
             "Incorrect value %s for %s - should be %s.\n",
             // The shipped templates' own (KV_FAIL), and the synthesizer's
             // answer to the empty input that m4 leaves when it stops.
             "kuvra DICOM module: no macro stream before the template\n",
             "kuvra DICOM module: P5 image with an item type other than U8 or U16\n",
             "kuvra DICOM module: image of %d x %d pixels: DICOM takes 1 to 65535 rows and "
             "columns\n",
             "kuvra DICOM module: the multiframe module takes a fieldset (KUVRA_FST) input\n",
             "kuvra DICOM module: ExportField names no field: %s\n",
             "kuvra DICOM module: the input has no field %s (name it with the header comment "
             "ExportField)\n",
             "kuvra DICOM module: Incorrect item type %s for %s - should be U8 or U16.\n",
             "kuvra DICOM module: %s is %d: the multiframe module takes 2 or 3 dimensions\n",
             "kuvra DICOM module: field of %d x %d x %d: DICOM takes 1 to 65535 rows and columns, "
             "and at least one frame\n",
             "kuvra DICOM module: %s is %d bytes, but %d x %d x %d samples of %s need %d\n",
             "kuvra DICOM module: missing %s\n",
             "kuvra DICOM module: %s is not a number\n",
             "kuvra DICOM module: %s is not the data macro of the converter\n",
             "kuvra_dicom_synthesizer: input holds no elements\n",
             "kuvra_dicom_synthesizer: warning: (0010,0020) PatientID is empty: a PACS files "
             "all such images under one patient (kuvra_ppmtodicom -k PatientID=...)\n",
             "kuvra_dicom_synthesizer: warning: %s is a private attribute, but no private "
             "creator %s reserves its block, so readers cannot tell whose it is "
             "(kuvra_ppmtodicom -k '%s=ORGANISATION')\n",
         },
         true},
        {"kuvra_pnmto3d32",
         {"-H", "-D", "-h", "--help", "--version"},
         {
             "Usage: %s [-H] [-D]\n",
             "Unknown option.\n",
             "Cannot open input.\n",
             "Cannot read magic.\n",
             "Unsupported magic.\n",
             "Cannot read width/height.\n",
             "Cannot parse width/height.\n",
             "Cannot read depth.\n",
             "Cannot parse depth.\n",
             "Depth too high, not supported.\n",
             "Depth too high for non-P5, not supported.\n",
             "Cannot allocate line memory.\n",
             "Cannot read line %d.\n",
             "Cannot write line %d.\n",
             "Cannot write output.\n",
         },
         false},
        {"kuvra_FST_extract",
         {"-h", "--help", "--version"},
         {
             "Usage: %s\n",
             "Unknown option.\n",
             "Cannot open input.\n",
             "Cannot read magic.\n",
             "Unsupported magic.\n",
             "Expected 'FIELD' keyword.\n",
             "Expected 'FileCapsule' keyword.\n",
             "Expected 'U8 1' type.\n",
             "Expected 1-dimensional capsule.\n",
             "Cannot read filesize.\n",
             "Cannot parse filesize.\n",
             "Cannot read padded filesize.\n",
             "Capsule data ends early.\n",
             "Cannot write output.\n",
         },
         false},
        {"kuvra_pipeprefix", {"--help", "--version"}, {}, false},
        // Its messages follow "kuvra_dicom_synthesizer: " and, for a failure
        // of one input line, "line N: " or the origin the line names.
        {"kuvra_dicom_synthesizer",
         {"-h", "--help", "--version", "--study-of", "--series-of", "--instance-inc"},
         {
             "cannot open %s: %s\n",
             "%s: cannot read it as DICOM: %s\n",
             "%s: it has no StudyInstanceUID (0020,000D)\n",
             "%s: it has no SeriesInstanceUID (0020,000E)\n",
             "%s: cannot convert its character set to UTF-8\n",
             "%s: %s holds a line break\n",
             "%s: it has no InstanceNumber (0020,0013) to increase\n",
             "%s: its InstanceNumber (0020,0013) cannot be increased\n",
             "--instance-inc goes with --study-of or --series-of\n",
             "warning: (0010,0020) PatientID is empty: a PACS files all such images under one "
             "patient (kuvra_ppmtodicom -k PatientID=...)\n",
             "warning: %s is a private attribute, but no private creator %s reserves its block, "
             "so readers cannot tell whose it is (kuvra_ppmtodicom -k '%s=ORGANISATION')\n",
             "unknown argument \"%s\"\n",
             "standard output is a terminal; redirect it to a file\n",
             "cannot write the output: %s\n",
             "cannot write the DICOM file: %s\n",
             "cannot cut back the partial output\n",
             "cannot read input: %s\n",
             "line longer than %d bytes\n",
             "expected an element tag \"(gggg,eeee)\" at the start of the line\n",
             "item tag %s takes no VR or value\n",
             "unknown item tag %s\n",
             "expected a blank and a VR after the tag %s\n",
             "unknown VR \"%s\" for %s\n",
             "expected a blank after the VR of %s\n",
             "sequence %s takes no value on its line\n",
             "expected the byte count of %s as a decimal number\n",
             "unknown word after the byte count of %s (only \"big-endian\" and \"from FILE\" "
             "are known)\n",
             "\"big-endian\" applies to OW values only, not to %s\n",
             "\"from\" without a file name for %s\n",
             "cannot open %s for %s: %s\n",
             "%s for %s is not a regular file\n",
             "%s for %s holds %d bytes, not the %d announced\n",
             "%s for %s ends after %d of its %d bytes\n",
             "odd byte count %s for 16-bit words of %s\n",
             "byte count %s of %s is too large\n",
             "input ends after %d of the %d bytes announced for %s\n",
             "the %d bytes of %s are not followed by a line end: wrong byte count?\n",
             "cannot create a spool file: %s\n",
             "cannot copy the value of %s: %s\n",
             "input holds no elements\n",
             "(0008,0005) SpecificCharacterSet: %s is no defined term (ISO_IR 192 for UTF-8, "
             "ISO_IR 100 for Latin-1, ...)\n",
             "(0008,0005) SpecificCharacterSet: %s mixes a set without code extensions with "
             "others\n",
             "%s: value %s holds the byte %s, which SpecificCharacterSet \"%s\" does not define "
             "(ISO_IR 192 takes UTF-8)\n",
             "(7FE0,0010) PixelData holds samples above the %d bits of (0028,0101) BitsStored "
             "(largest allowed %d): the image has samples above its MAXVAL\n",
             "the element list ends without its last line \"# end of element list\": m4 or the "
             "template stopped before the end\n",
             "input ends inside a sequence or item\n",
             "item start %s outside a sequence\n",
             "item end %s without an open item\n",
             "sequence end %s without an open sequence\n",
             "%s: element inside a sequence but outside an item\n",
             "%s: file meta elements are generated, not given\n",
             "%s: group lengths are not written\n",
             "%s has VR %s, not %s\n",
             "%s given twice\n",
             "%s follows %s in the input but sorts before it\n",
             "%s: a non-ASCII value after the streamed value comes too late to set the "
             "character set\n",
             "%s: cannot create an element of VR %s\n",
             "%s: cannot insert the element\n",
             "%s: cannot store the value (%s)\n",
             "%s: value %s is not valid UTF-8 (SpecificCharacterSet ISO_IR 192)\n",
             "%s: value %s is not a valid %s number list: %s\n",
             "%s: value %s is not a valid %s value: %s\n",
             "%s: value %s does not conform to VR %s (%s): %s\n",
             "%s: value %s is not a date of the calendar: DA is YYYYMMDD, such as 20240131\n",
             "%s: value %s is not a time of day: TM is HHMMSS, HHMM or HH, with an optional "
             "fraction of a second (HHMMSS.FFFFFF), such as 235959\n",
             "%s: value %s is longer than the %d characters that %s allows\n",
             "%s: value %s has %d values; the attribute takes %s\n",
             "%s: %d bytes are not a whole number of %s values\n",
             "%s: cannot pad the spooled value: %s\n",
             "%s: cannot take the value from its spool file\n",
             "input gives no (0008,0016) SOPClassUID\n",
             "(0028,0008) NumberOfFrames must be at least 1\n",
             "(7FE0,0010) PixelData holds %d bytes, but Rows %d x Columns %d x frames %d x "
             "SamplesPerPixel %d x BitsAllocated %d need %d\n",
         },
         false},
        // Its messages follow "kuvra_dicom_to_P5: ".
        {"kuvra_dicom_to_P5",
         {},
         {
             "Usage: %s [file.dcm] > image.pnm\n",
             "KUVRA_DICOM_TO_P5_MAX_FRAME is not a number of bytes\n",
             "cannot open %s: %s\n",
             "cannot read %s: %s\n",
             "%s is not a DICOM stream\n",
             "the file is truncated: element %s declares %d bytes, %d are left\n",
             "sequences are nested more than %d deep\n",
             "cannot read the DICOM stream: %s\n",
             "the DICOM stream holds no image (Rows, Columns, BitsAllocated, PixelData)\n",
             "the image has no pixels\n",
             "the image has no frames (NumberOfFrames %d)\n",
             "no pixel data\n",
             "unsupported photometric interpretation \"%s\"\n",
             "monochrome image with %d samples per pixel\n",
             "palette colour image with %d samples per pixel\n",
             "%s image with %d samples per pixel\n",
             "YBR_FULL_422 image with an odd number of columns\n",
             "unsupported sample layout: BitsAllocated %d, BitsStored %d, HighBit %d\n",
             "the image frame of %d bytes is larger than the limit of %d bytes "
             "(KUVRA_DICOM_TO_P5_MAX_FRAME)\n",
             "the pixel data hold %d bytes, but NumberOfFrames %d x Columns %d x Rows %d x "
             "SamplesPerPixel %d x BitsAllocated %d / 8 make %d\n",
             "the %s data hold a %d x %d image of %d samples of %d bits (%d bytes), but Columns "
             "%d x Rows %d x SamplesPerPixel %d x BitsAllocated %d / 8 make %d\n",
             "the %s data have no frame header\n",
             "the RLE frame of %d bytes has no complete header\n",
             "the RLE frame holds %d segments, the attributes declare %d\n",
             "the RLE frame's segment %d lies outside it\n",
             "the RLE frame's segment %d decodes to %d bytes, the attributes declare %d (Rows x "
             "Columns)\n",
             "the compressed frame of %d bytes is larger than twice the %d bytes that the "
             "attributes declare\n",
             "the transfer syntax %s (%s) is not supported\n",
             "the pixel data are not encapsulated as the transfer syntax %s (%s) requires\n",
             "the pixel data hold no compressed frame\n",
             "cannot decode the JPEG 2000 data (transfer syntax %s): %s\n",
             "cannot decode the pixel data (transfer syntax %s (%s)): %s\n",
             "cannot read the pixel data: %s\n",
             "cannot render the palette colour image: %s\n",
             "cannot write the image: %s\n",
         },
         false},
    };
    return table;
}

} // namespace documented
