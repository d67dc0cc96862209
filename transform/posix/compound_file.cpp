#include "transform/posix/compound_file.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <cstring>

#include "base/error_codes.h"
#include "transform/posix/glib_objects.h"
#include "transform/posix/installer_messages.h"
#include "transform/table_format.h"

namespace qv {

namespace {

// The Win32 code for a failure to open or create a file.
uint32_t OpenFailure(const G_ERROR& error) {
    const GError* detail = error.Get();
    if (detail == nullptr) return ERR_OPEN_FAILED;
    AddInstallerMessage(detail->message);
    if (detail->domain != G_FILE_ERROR) return ERR_OPEN_FAILED;
    switch (detail->code) {
        case G_FILE_ERROR_NOENT:
            return ERR_PATH_NOT_FOUND;
        case G_FILE_ERROR_ACCES:
        case G_FILE_ERROR_PERM:
        case G_FILE_ERROR_ROFS:
            return ERR_ACCESS_DENIED;
        case G_FILE_ERROR_NOSPC:
            return ERR_DISK_FULL;
        default:
            return ERR_OPEN_FAILED;
    }
}

uint32_t OpenForReading(const std::string& path, G_OBJECT<GsfInfile>& file) {
    gsf_init();
    G_ERROR error;
    G_OBJECT<GsfInput> input(gsf_input_stdio_new(path.c_str(), error.Receive()));
    if (!input) return OpenFailure(error);
    file.reset(gsf_infile_msole_new(input.get(), error.Receive()));
    if (!file) {
        if (error) AddInstallerMessage(error.Get()->message);
        return ERR_INVALID_DATA;
    }
    return ERR_SUCCESS;
}

// Every child of a compound file is an infile to libgsf; a stream is one without children.
bool IsStorage(GsfInput* child) { return GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0; }

bool ReadAll(GsfInput* input, gsf_off_t count, std::string& bytes) {
    bytes.resize(static_cast<size_t>(count));
    auto* target = reinterpret_cast<guint8*>(bytes.data());
    return count == 0 || gsf_input_read(input, static_cast<size_t>(count), target) != nullptr;
}

bool IsPackageData(const char* name) {
    return std::strncmp(name, TABLE_STREAM_MARK_UTF8, std::strlen(TABLE_STREAM_MARK_UTF8)) == 0 ||
           std::strcmp(name, SUMMARY_INFORMATION_STREAM) == 0;
}

uint32_t ReadDataStream(GsfInput* child, const char* name, std::vector<COMPOUND_STREAM>& streams) {
    const gsf_off_t size = gsf_input_size(child);
    if (size < 0 || static_cast<uint64_t>(size) > MAXIMUM_TABLE_STREAM_SIZE) {
        AddInstallerMessage("The stream " + TableOfStream(name) + " is too large");
        return ERR_INVALID_DATA;
    }
    COMPOUND_STREAM stream{name, {}};
    if (!ReadAll(child, size, stream.Bytes)) {
        AddInstallerMessage("The stream " + TableOfStream(name) + " can't be read");
        return ERR_INVALID_DATA;
    }
    streams.push_back(std::move(stream));
    return ERR_SUCCESS;
}

}  // namespace

uint32_t WriteCompoundFile(const std::string& path, const CLASS_ID& classId, const std::vector<COMPOUND_STREAM>& streams) {
    gsf_init();
    G_ERROR error;
    // libgsf writes beside the file and renames at the end: a failure leaves the old file.
    G_OBJECT<GsfOutput> sink(gsf_output_stdio_new(path.c_str(), error.Receive()));
    if (!sink) return OpenFailure(error);
    G_OBJECT<GsfOutfile> file(gsf_outfile_msole_new(sink.get()));
    if (!file || !gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(file.get()), classId.data())) return ERR_WRITE_FAULT;

    bool written = true;
    for (const COMPOUND_STREAM& stream : streams) {
        G_OBJECT<GsfOutput> child(gsf_outfile_new_child(file.get(), stream.Name.c_str(), FALSE));
        written = child && gsf_output_write(child.get(), stream.Bytes.size(),
                                            reinterpret_cast<const guint8*>(stream.Bytes.data()));
        if (child) written = gsf_output_close(child.get()) && written;
        if (!written) break;
    }
    // Closing the compound file closes the file beneath it too.
    written = gsf_output_close(GSF_OUTPUT(file.get())) && written;
    if (!gsf_output_is_closed(sink.get())) written = gsf_output_close(sink.get()) && written;
    if (written) return ERR_SUCCESS;
    if (const GError* detail = gsf_output_error(sink.get()); detail != nullptr) AddInstallerMessage(detail->message);
    return ERR_WRITE_FAULT;
}

uint32_t ReadCompoundFile(const std::string& path, CLASS_ID& classId, std::vector<COMPOUND_STREAM>& streams) {
    streams.clear();
    G_OBJECT<GsfInfile> file;
    const uint32_t code = OpenForReading(path, file);
    if (code != ERR_SUCCESS) return code;
    if (!gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(file.get()), classId.data())) return ERR_INVALID_DATA;
    const int count = gsf_infile_num_children(file.get());
    for (int i = 0; i < count; ++i) {
        G_OBJECT<GsfInput> child(gsf_infile_child_by_index(file.get(), i));
        if (!child) return ERR_READ_FAULT;
        if (IsStorage(child.get())) {
            AddInstallerMessage(std::string("The file holds a storage, ") + gsf_input_name(child.get()));
            return ERR_INVALID_DATA;
        }
        COMPOUND_STREAM stream{gsf_input_name(child.get()), {}};
        if (!ReadAll(child.get(), gsf_input_size(child.get()), stream.Bytes)) return ERR_READ_FAULT;
        streams.push_back(std::move(stream));
    }
    return ERR_SUCCESS;
}

uint32_t ReadPackageStreams(const STRING& path, std::vector<COMPOUND_STREAM>& streams, std::string& problem) {
    streams.clear();
    CaptureLibraryMessages();
    ClearInstallerMessages();
    G_OBJECT<GsfInfile> file;
    uint32_t code = OpenForReading(STRING_A(path).Text(), file);
    const int count = file ? gsf_infile_num_children(file.get()) : 0;
    for (int i = 0; code == ERR_SUCCESS && i < count; ++i) {
        // Every child is opened, as the installer opens them: one that can't be is damage.
        G_OBJECT<GsfInput> child(gsf_infile_child_by_index(file.get(), i));
        const char* name = child ? gsf_input_name(child.get()) : nullptr;
        if (name == nullptr) {
            AddInstallerMessage("Stream " + std::to_string(i + 1) + " can't be opened");
            code = ERR_INVALID_DATA;
        } else if (IsPackageData(name) && !IsStorage(child.get())) {
            code = ReadDataStream(child.get(), name, streams);
        }
    }
    problem = TakeInstallerMessages();
    return code;
}

uint32_t ReadCompoundStreamStart(const std::string& path, const std::string& name, uint32_t count, std::string& bytes) {
    bytes.clear();
    G_OBJECT<GsfInfile> file;
    const uint32_t code = OpenForReading(path, file);
    if (code != ERR_SUCCESS) return code;
    G_OBJECT<GsfInput> stream(gsf_infile_child_by_name(file.get(), name.c_str()));
    if (!stream) return ERR_NOT_FOUND;
    const gsf_off_t size = gsf_input_size(stream.get());
    return ReadAll(stream.get(), size < count ? size : count, bytes) ? ERR_SUCCESS : ERR_READ_FAULT;
}

}  // namespace qv
