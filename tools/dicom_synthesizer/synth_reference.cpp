// Reading the attributes to join from an existing DICOM file.
#include "synth_reference.h"

#include <dcmtk/config/osconfig.h>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace kuvra::synth {

namespace {

struct Joined {
    DcmTagKey tag;
    const char *keyword;
};

// What a new image must share with the others of its study: the patient
// and the study.
const Joined study_attrs[] = {
    {DCM_PatientName, "PatientName"},
    {DCM_PatientID, "PatientID"},
    {DCM_PatientBirthDate, "PatientBirthDate"},
    {DCM_PatientSex, "PatientSex"},
    {DCM_StudyInstanceUID, "StudyInstanceUID"},
    {DCM_StudyID, "StudyID"},
    {DCM_StudyDate, "StudyDate"},
    {DCM_StudyTime, "StudyTime"},
    {DCM_AccessionNumber, "AccessionNumber"},
    {DCM_ReferringPhysicianName, "ReferringPhysicianName"},
    {DCM_StudyDescription, "StudyDescription"},
};

// ... and of its series.
const Joined series_attrs[] = {
    {DCM_SeriesInstanceUID, "SeriesInstanceUID"},
    {DCM_SeriesNumber, "SeriesNumber"},
    {DCM_Modality, "Modality"},
    {DCM_SeriesDescription, "SeriesDescription"},
    {DCM_SeriesDate, "SeriesDate"},
    {DCM_SeriesTime, "SeriesTime"},
};

std::string comment(const DcmTagKey &tag, const std::string &value) {
    char key[32];
    snprintf(key, sizeof key, "#Dicom/(%04X,%04X):\t", unsigned(tag.getGroup()),
             unsigned(tag.getElement()));
    return key + value + "\n";
}

// Appends the comments of attrs; false when a value holds a line break
// (no header comment can carry it).
template <size_t N>
bool add(DcmDataset *ds, const Joined (&attrs)[N], std::string &out, std::string &err) {
    for (const Joined &a : attrs) {
        if (!ds->tagExists(a.tag)) continue;
        OFString v;
        if (ds->findAndGetOFStringArray(a.tag, v).bad()) v.clear();
        std::string value(v.c_str(), v.length());
        if (value.find_first_of("\r\n") != std::string::npos) {
            err = std::string(a.keyword) + " holds a line break";
            return false;
        }
        out += comment(a.tag, value);
    }
    return true;
}

bool required(DcmDataset *ds, const DcmTagKey &tag, const char *what, std::string &err) {
    OFString v;
    if (ds->findAndGetOFString(tag, v).good() && !v.empty()) return true;
    err = std::string("it has no ") + what;
    return false;
}

} // namespace

bool reference_comments(const char *path, bool series, bool instance_inc, std::string &out,
                        std::string &err) {
    DcmFileFormat ff;
    OFCondition c = ff.loadFile(path, EXS_Unknown, EGL_noChange, 4096);
    if (c.bad()) {
        err = std::string("cannot read it as DICOM: ") + c.text();
        return false;
    }
    DcmDataset *ds = ff.getDataset();
    if (!required(ds, DCM_StudyInstanceUID, "StudyInstanceUID (0020,000D)", err) ||
        (series && !required(ds, DCM_SeriesInstanceUID, "SeriesInstanceUID (0020,000E)", err)))
        return false;
    // The new image is written in UTF-8 whatever the file's character set.
    if (ds->tagExists(DCM_SpecificCharacterSet) && ds->convertToUTF8().bad()) {
        err = "cannot convert its character set to UTF-8";
        return false;
    }
    std::string lines;
    if (!add(ds, study_attrs, lines, err)) return false;
    if (series && !add(ds, series_attrs, lines, err)) return false;
    if (series || instance_inc) {
        Sint32 number = 0;
        bool have = ds->findAndGetSint32(DCM_InstanceNumber, number).good();
        if (have && number < INT32_MAX)
            lines += comment(DCM_InstanceNumber, std::to_string(int64_t(number) + 1));
        else if (instance_inc) {
            err = have ? "its InstanceNumber (0020,0013) cannot be increased"
                       : "it has no InstanceNumber (0020,0013) to increase";
            return false;
        }
    }
    out += lines;
    return true;
}

} // namespace kuvra::synth
