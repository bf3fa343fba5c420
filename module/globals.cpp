// Objects of static lifetime whose construction order matters live in this one
// file: the module object first, then the version snapshot.
#include "qvtr/module.h"
#include "qvtr/platform.h"

CComModuleSupport g_Module;
COsVersionInfo g_OsVersionInfo;
