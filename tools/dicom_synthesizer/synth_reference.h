// The patient, study and series of an existing DICOM file as header
// comments, for the converter's --study-from and --series-from.
#pragma once

#include <string>

namespace kuvra::synth {

// The header-comment lines "#Dicom/(gggg,eeee):\tvalue\n" of the patient
// and study attributes of the DICOM file at path (with series: also the
// series attributes, and an InstanceNumber one above the file's), values in
// UTF-8.  Attributes the file lacks are left out; StudyInstanceUID (and
// with series SeriesInstanceUID) must be there.  instance_inc: the
// InstanceNumber one above the file's also for a study alone, as img2dcm's
// --instance-inc has it, and the file must have one.  true with out
// filled, else false with err saying why.
bool reference_comments(const char *path, bool series, bool instance_inc, std::string &out,
                        std::string &err);

} // namespace kuvra::synth
