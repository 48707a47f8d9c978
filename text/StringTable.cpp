#include "text/StringTable.h"

#include <new>

#include "function/Function.h"
#include "net/LogFormat.h"
#include "plinth/GlobalObject.h"
#include "plinth/Path.h"
#include "plinth/SharedLibrary.h"
#include "text/PackedResourceLibrary.h"
#include "text/TableFile.h"
#include "text/XmlDocument.h"

namespace {

// Any object of this module: its address tells the loader which module to pin.
const char moduleAnchor = 0;

// Every failed lookup returns this one text. It lives in static storage and is never
// destroyed: display texts of other modules point at it for the rest of the process.
const std::string& SharedEmptyText() noexcept {
    alignas(std::string) static unsigned char storage[sizeof(std::string)];
    static const std::string* const empty = new (storage) std::string();
    return *empty;
}

// Moves the value out of a node of a document that the caller owns and destroys unread. TinyXML
// offers its values read-only only; the node and its value are no const objects (the parser
// allocated them), so writing through the cast is well defined. Taking the text instead of
// copying it saves an allocation, a copy and a release per entry.
std::string TakeValue(TiXmlNode& node) noexcept {
    return std::move(const_cast<std::string&>(node.ValueStr()));
}

// Stores every child element of `root` that has a name and whose first child is a text, the
// text by the element's name; a later element replaces an earlier one with the same name.
// Takes the names and texts out of the document. Throws std::bad_alloc when memory runs out.
//
// Room for `elements` entries is reserved first: the document's element count, known from
// before the parse, bounds the root's children and costs nothing, where the rehashes of a
// growing map relink every node stored so far and a counting walk of the document misses the
// cache at every node. The document is left whole, to be destroyed by its owner afterwards:
// deleting each element once read puts frees between the map's node allocations, which made
// glibc's malloc sort and consolidate the freed blocks and cost more than the separate
// destruction. The walk tests each node's type, an inline read, where TinyXML's
// NextSiblingElement and ToText are calls into the library and through the virtual table.
void TakeEntries(TiXmlElement& root, std::size_t elements,
                 std::unordered_map<std::string, std::string>& entries) {
    entries.reserve(elements);
    for (TiXmlNode* node = root.FirstChild(); node != nullptr; node = node->NextSibling()) {
        if (node->Type() != TiXmlNode::TINYXML_ELEMENT) {
            continue;
        }
        TiXmlNode* const first = node->FirstChild();
        if (first != nullptr && first->Type() == TiXmlNode::TINYXML_TEXT &&
            !node->ValueStr().empty()) {
            entries.insert_or_assign(TakeValue(*node), TakeValue(*first));
        }
    }
}

}  // namespace

std::string StringTableFileName(const std::string& table) {
    if (PackedResourceLibrary::Instance().IsLoadFromArchive()) {
        return FormatText("config/StringTable/%s.xml", table);
    }
    return FormatText("%s/config/StringTable/%s.xml", os::GetConfigDirectory(), table);
}

StringTable::StringTable() = default;

bool StringTable::LoadTable(const std::string& tableName) {
    try {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        // Present from now on, whatever the read gives: a missing table is read once.
        Table& table = tables[tableName];

        XmlDocument document;
        if (!document.LoadFile(StringTableFileName(tableName), TIXML_ENCODING_UNKNOWN)) {
            return false;
        }
        TiXmlElement* const root = document.RootElement();
        if (root == nullptr) {
            return false;
        }

        if (table.empty()) {
            // Nobody holds a text of this table yet: the entries go straight into it (a later
            // element replaces an earlier one with the same name). Out of memory half-way, the
            // table is emptied again, as it was.
            try {
                TakeEntries(*root, document.ParsedElementCount(), table);
            } catch (...) {
                table.clear();
                throw;
            }
            return true;
        }
        // A table read before: the file's entries first (a later element replaces an earlier
        // one with the same name), so a key that occurs twice is assigned once.
        Table entries;
        TakeEntries(*root, document.ParsedElementCount(), entries);
        // Room for every new key before the table is touched: what follows cannot fail, so the
        // table gets all of the file or, out of memory above, none of it.
        std::size_t newKeys = 0;
        for (const auto& entry : entries) {
            newKeys += table.count(entry.first) == 0 ? 1 : 0;
        }
        table.reserve(table.size() + newKeys);
        // A text that did not change keeps its storage: callers hold c_str() pointers into it.
        // New entries move over with their map nodes.
        for (auto entry = entries.begin(); entry != entries.end();) {
            const auto stored = table.find(entry->first);
            if (stored == table.end()) {
                table.insert(entries.extract(entry++));
                continue;
            }
            if (stored->second != entry->second) {
                stored->second = std::move(entry->second);
            }
            ++entry;
        }
        return true;
    } catch (...) {
        // Out of memory while reading or storing: the table keeps what it had.
        return false;
    }
}

const std::string& StringTable::GetString(const std::string& tableName, const std::string& key) {
    const std::string& empty = SharedEmptyText();
    try {
        // The first use of the packed resource library calls the platform loader. It happens
        // before the table's lock is taken, so a thread that holds the loader's lock (loading
        // a module whose static initialisation looks up a text) never waits for a lock whose
        // holder waits for the loader.
        PackedResourceLibrary::Instance();

        std::lock_guard<std::recursive_mutex> guard(mutex);
        auto table = tables.find(tableName);
        if (table == tables.end()) {
            if (!LoadTable(tableName)) {
                return empty;
            }
            table = tables.find(tableName);
            if (table == tables.end()) {
                return empty;  // an override of LoadTable that stored nothing
            }
        }
        const auto entry = table->second.find(key);
        return entry != table->second.end() ? entry->second : empty;
    } catch (...) {
        return empty;
    }
}

void* StringTableCreator::operator()() const {
    try {
        // The table made here runs this module's code for the rest of the process, whoever
        // uses it: this module must never be unmapped.
        os::PinModuleOf(&moduleAnchor);
        return new StringTable;
    } catch (...) {
        return nullptr;
    }
}

const std::string& GetTableString(const std::string& tableName, const std::string& key) {
    try {
        static StringTable* const table = static_cast<StringTable*>(
            os::GetGlobalObject("StringTableObject", os::Function<void*()>(StringTableCreator())));
        return table->GetString(tableName, key);
    } catch (...) {
        return SharedEmptyText();
    }
}

const std::string& GetCommonString(const std::string& key) {
    return GetTableString("common", key);
}
