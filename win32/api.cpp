#include "win32/api.h"

namespace {

Win32Api MakeBackendTable() {
    Win32Api table{};
    BindBackend(table);
    return table;
}

}  // namespace

const Win32Api& BackendApi() {
    // A function-local static: the table is needed during static construction
    // (the version snapshot), before any namespace-scope object is safe to use.
    static const Win32Api backend = MakeBackendTable();
    return backend;
}

Win32Api& Api() {
    static Win32Api table = BackendApi();
    return table;
}

ApiOverride::ApiOverride() : m_saved(Api()) {}

ApiOverride::~ApiOverride() {
    Api() = m_saved;
}
