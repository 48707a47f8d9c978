#include "text/StringTable.h"

#include <new>

#include "function/Function.h"
#include "net/LogFormat.h"
#include "plinth/GlobalObject.h"
#include "plinth/Path.h"
#include "plinth/SharedLibrary.h"
#include "text/PackedResourceLibrary.h"
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

}  // namespace

StringTable::StringTable() = default;

bool StringTable::LoadTable(const std::string& tableName) {
    try {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        // Present from now on, whatever the read gives: a missing table is read once.
        Table& table = tables[tableName];

        std::string path =
            FormatText("%s/config/StringTable/%s.xml", os::GetConfigDirectory(), tableName);
        const PackedResourceLibrary& packed = PackedResourceLibrary::Instance();
        if (packed.IsLoaded() && packed.IsLoadFromMpq()) {
            path = FormatText("config/StringTable/%s.xml", tableName);
        }

        XmlDocument document;
        if (!document.LoadFile(path, TIXML_ENCODING_UNKNOWN)) {
            return false;
        }
        const TiXmlElement* root = nullptr;
        for (const TiXmlNode* node = document.FirstChild(); node != nullptr && root == nullptr;
             node = node->NextSibling()) {
            root = node->ToElement();
        }
        if (root == nullptr) {
            return false;
        }

        if (table.empty()) {
            // Nobody holds a text of this table yet: store the entries in place (a later element
            // replaces an earlier one with the same name).
            std::size_t count = 0;
            for (const TiXmlElement* element = root->FirstChildElement(); element != nullptr;
                 element = element->NextSiblingElement()) {
                ++count;
            }
            table.reserve(count);
            for (const TiXmlElement* element = root->FirstChildElement(); element != nullptr;
                 element = element->NextSiblingElement()) {
                const TiXmlNode* first = element->FirstChild();
                if (!element->ValueStr().empty() && first != nullptr &&
                    first->ToText() != nullptr) {
                    table.insert_or_assign(element->ValueStr(), first->ValueStr());
                }
            }
            return true;
        }
        // A table read before: the file's entries first (a later element replaces an earlier
        // one with the same name), so a key that occurs twice is assigned once.
        Table entries;
        for (const TiXmlElement* element = root->FirstChildElement(); element != nullptr;
             element = element->NextSiblingElement()) {
            const TiXmlNode* first = element->FirstChild();
            if (!element->ValueStr().empty() && first != nullptr && first->ToText() != nullptr) {
                entries[element->ValueStr()] = first->ValueStr();
            }
        }
        // A text that did not change keeps its storage: callers hold c_str() pointers into it.
        for (auto& [key, text] : entries) {
            const auto [stored, inserted] = table.try_emplace(key, text);
            if (!inserted && stored->second != text) {
                stored->second = std::move(text);
            }
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
