/* The last line of every element list that m4 makes from a complete macro
 * stream: kuvra_ppmtodicom has m4 write it (through m4wrap) once all of
 * m4's input has been read, and kuvra_dicom_synthesizer --require-end
 * refuses a list without it.  To the synthesizer's reader it is a comment
 * line, so lists written by hand need not carry it.  Internal, not
 * installed; C and C++. */
#ifndef KUVRA_INTERNAL_ENDMARK_H
#define KUVRA_INTERNAL_ENDMARK_H
#define KV_END_MARK "# end of element list"
#endif
