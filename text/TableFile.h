// TableFile: where the string table reads a table's file, and the hand-back of an archive
// buffer. Shared by the loader and the content authors' check (TableCheck), so that the check
// reads the same bytes from the same place as the client.
//
// Private to text/, like XmlDocument.h.
#pragma once

#include <string>

#include "text/PackedResourceLibrary.h"

/// The name StringTable::LoadTable hands the document loader for table `table`:
/// "config/StringTable/TABLE.xml" as an archive member when the packed resource library says
/// the archive is the source, else that path under the configuration directory.
std::string StringTableFileName(const std::string& table);

/// Hands an archive buffer back to the library however the read that took it ends.
struct ArchiveBuffer {
    const PackedResourceLibrary& packed;
    void* data;

    ArchiveBuffer(const PackedResourceLibrary& library, void* buffer) noexcept
        : packed(library), data(buffer) {}
    ArchiveBuffer(const ArchiveBuffer&) = delete;
    ArchiveBuffer& operator=(const ArchiveBuffer&) = delete;
    ~ArchiveBuffer() { Release(); }

    void Release() noexcept {
        if (data != nullptr) {
            packed.FreeFileData(data);
            data = nullptr;
        }
    }
};
