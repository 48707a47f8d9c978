// The client's string table: display texts by (table name, key).
//
// Each table is one XML file, "config/StringTable/<table>.xml", under the configuration
// directory or in the packed archive. A table is read the first time one of its keys is asked
// for and stays in memory for the life of the process; a table whose file is missing or
// malformed stays present and empty, so its file is read once only.
//
// There is one string table per process, registered with the core library under the name
// "StringTableObject": every module that calls GetTableString gets the same object and the
// same loaded tables. The object's code is that of the module whose creator built it; that
// module is pinned (never unloaded) so the object stays usable by every other module.
//
// Lifetime: callers keep references to stored texts and raw c_str() pointers into them. A
// stored text stays at its address for the life of the process; only a second LoadTable of
// the same table that brings a different text for the key may move it.
//
// Thread safety: lookups may run on any thread. The table's own lock is held around the whole
// check-load-lookup of GetString, so a lookup that has to read a file makes concurrent lookups
// wait for that one read, and a table is never read twice by racing first lookups.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

/// The process-wide table. Never destroyed: other modules hold references into it. Its layout
/// is touched only by its own code (the creating module's), through its virtual operations.
class StringTable {
public:
    StringTable();

    /// Reads the table's file into the store; true when the file was read and parsed and had
    /// a root element. The table name is inserted before the file is read, so it is present
    /// even when the read fails. Entries are only added or overwritten; an entry whose text is
    /// unchanged is left alone, so pointers into it stay valid. Never throws.
    virtual bool LoadTable(const std::string& tableName);

    /// The stored text of `key` in `tableName`, or the shared empty text when the table could
    /// not be read or lacks the key. Loads the table (through LoadTable) when its name is not
    /// present yet. The reference stays valid for the life of the process. Never throws.
    virtual const std::string& GetString(const std::string& tableName, const std::string& key);

    // No virtual destructor on purpose: the process-wide object is never destroyed, and the
    // order of the two virtual operations above is shared with other modules.

private:
    using Table = std::unordered_map<std::string, std::string>;

    /// Node-based maps: the address of a stored text never changes when others are inserted.
    std::unordered_map<std::string, Table> tables;
    std::recursive_mutex mutex;
};

/// Creates the process-wide table for os::GetGlobalObject: a new, empty StringTable as void*.
/// Stateless, so two creators always compare equal. Pins the module that contains it: the
/// table it makes runs this module's code for the rest of the process. Returns null only when
/// memory runs out.
struct StringTableCreator {
    void* operator()() const;
};

/// GetString on the process-wide table "StringTableObject", created on the first call of any
/// module in the process. The reference stays valid for the life of the process. Never throws.
const std::string& GetTableString(const std::string& tableName, const std::string& key);

/// GetTableString("common", key).
const std::string& GetCommonString(const std::string& key);
