// The resource tables of the loaded modules, and LoadStringA.
//
// Tables register themselves from the static initialisers the resource
// compiler generates (w32rt/resources.h) and leave when their module is
// unloaded. Lookups hold the registry's shared lock while they copy a text,
// so a module being unloaded waits until no copy reads from it.
#include "modules/resources.h"

#include <string.h>

#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include <w32rt/resources.h>

#include "core/error.h"
#include "locale/locale.h"
#include "modules/modules.h"

namespace w32rt {

namespace {

struct ModuleTables {
    std::vector<const w32rt_resource_table*> tables;
    // (type, id) -> the entries of that id, one per language, in table order.
    std::map<std::pair<uint16_t, uint32_t>, std::vector<const w32rt_resource_entry*>> index;
    bool has_type[2] = {false, false};  // string, message table

    void rebuild() {
        index.clear();
        has_type[0] = has_type[1] = false;
        for (const w32rt_resource_table* table : tables) {
            for (uint32_t i = 0; i < table->count; ++i) {
                const w32rt_resource_entry& e = table->entries[i];
                index[{e.type, e.id}].push_back(&e);
                has_type[e.type == W32RT_RESOURCE_STRING ? 0 : 1] = true;
            }
        }
    }
};

struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<HMODULE, ModuleTables> modules;
};

Registry& registry() {
    // Never destroyed: modules unregister from their static destructors,
    // which may run after this file's.
    static Registry* instance = new Registry;
    return *instance;
}

bool table_valid(const w32rt_resource_table* table) {
    if (!table || table->struct_size != sizeof(w32rt_resource_table)) return false;
    if (table->count && !table->entries) return false;
    for (uint32_t i = 0; i < table->count; ++i) {
        const w32rt_resource_entry& e = table->entries[i];
        if (!e.text) return false;
        if (e.type != W32RT_RESOURCE_STRING && e.type != W32RT_RESOURCE_MESSAGETABLE) return false;
        if (e.type == W32RT_RESOURCE_STRING && e.id > 0xFFFF) return false;
        if (e.text[e.length] != '\0') return false;
    }
    return true;
}

// The languages to try, in order, before falling back to any language.
std::vector<LANGID> search_order(LanguageSearch search) {
    std::vector<LANGID> order;
    auto add = [&order](LANGID id) {
        for (LANGID o : order)
            if (o == id) return;
        order.push_back(id);
    };
    std::vector<LANGID> preferred = thread_preferred_languages();
    if (search == LanguageSearch::UserInterface) {
        for (LANGID id : preferred) add(id);
        add(user_ui_language());
        add(system_language());
        add(0);
    } else {
        add(0);
        add(preferred.empty() ? user_ui_language() : preferred.front());
        add(user_default_language());
        add(system_language());
    }
    add(0x0409);
    return order;
}

const w32rt_resource_entry* choose(const std::vector<const w32rt_resource_entry*>& entries, LANGID language,
                                   LanguageSearch search) {
    if (language != 0) {
        for (const w32rt_resource_entry* e : entries)
            if (e->language == language) return e;
        return nullptr;
    }
    // Each language of the order, exactly or as the same language of
    // another country, then any.
    for (LANGID id : search_order(search)) {
        for (const w32rt_resource_entry* e : entries)
            if (e->language == id) return e;
        if (PRIMARYLANGID(id) == LANG_NEUTRAL) continue;
        for (const w32rt_resource_entry* e : entries)
            if (PRIMARYLANGID(e->language) == PRIMARYLANGID(id)) return e;
    }
    return entries.empty() ? nullptr : entries.front();
}

}  // namespace

DWORD find_resource_text(HMODULE module, uint16_t type, uint32_t id, LANGID language, LanguageSearch search,
                         std::string* text) {
    if (language == LANG_USER_DEFAULT) language = user_default_language();
    else if (language == LANG_SYSTEM_DEFAULT) language = system_language();
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> lock(r.mutex);
    auto module_it = r.modules.find(module);
    if (module_it == r.modules.end()) return ERROR_RESOURCE_DATA_NOT_FOUND;
    const ModuleTables& tables = module_it->second;
    if (!tables.has_type[type == W32RT_RESOURCE_STRING ? 0 : 1]) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    auto it = tables.index.find({type, id});
    if (it == tables.index.end()) return ERROR_RESOURCE_NAME_NOT_FOUND;
    const w32rt_resource_entry* entry = choose(it->second, language, search);
    if (!entry) return ERROR_RESOURCE_LANG_NOT_FOUND;
    text->assign(entry->text, entry->length);
    return ERROR_SUCCESS;
}

}  // namespace w32rt

extern "C" {

W32RT_API int w32rt_register_resources(const w32rt_resource_table* table) {
    if (!w32rt::table_valid(table)) return 0;
    HMODULE module = w32rt::module_containing(table);
    if (!module) return 0;
    w32rt::Registry& r = w32rt::registry();
    std::unique_lock<std::shared_mutex> lock(r.mutex);
    w32rt::ModuleTables& tables = r.modules[module];
    for (const w32rt_resource_table* t : tables.tables)
        if (t == table) return 1;
    tables.tables.push_back(table);
    tables.rebuild();
    return 1;
}

W32RT_API void w32rt_unregister_resources(const w32rt_resource_table* table) {
    w32rt::Registry& r = w32rt::registry();
    std::unique_lock<std::shared_mutex> lock(r.mutex);
    for (auto it = r.modules.begin(); it != r.modules.end(); ++it) {
        auto& list = it->second.tables;
        for (auto t = list.begin(); t != list.end(); ++t) {
            if (*t != table) continue;
            list.erase(t);
            if (list.empty()) r.modules.erase(it);
            else it->second.rebuild();
            return;
        }
    }
}

W32RT_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    // LoadStringA has no read-only-pointer form (cchBufferMax 0): that is
    // LoadStringW's, and Windows documents the size as non-zero here.
    if (!lpBuffer || cchBufferMax <= 0) return w32rt::fail(ERROR_INVALID_PARAMETER, 0);
    lpBuffer[0] = '\0';
    if (!hInstance) hInstance = w32rt::main_module();
    if (uID > 0xFFFF) return w32rt::fail(ERROR_RESOURCE_NAME_NOT_FOUND, 0);
    std::string text;
    DWORD error = w32rt::find_resource_text(hInstance, W32RT_RESOURCE_STRING, uID, 0,
                                            w32rt::LanguageSearch::UserInterface, &text);
    if (error != ERROR_SUCCESS) return w32rt::fail(error, 0);
    size_t n = text.size();
    if (n > size_t(cchBufferMax) - 1) {
        n = size_t(cchBufferMax) - 1;
        // Never cut a UTF-8 sequence in two.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    memcpy(lpBuffer, text.data(), n);
    lpBuffer[n] = '\0';
    SetLastError(ERROR_SUCCESS);
    return int(n);
}

}  // extern "C"
