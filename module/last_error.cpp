#include "qvtr/module.h"
#include "win32/api.h"

DWORD QvtrGetLastError() {
    return Api().GetLastError();
}
