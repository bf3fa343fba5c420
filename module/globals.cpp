// Objects of static lifetime whose construction order matters live in this one
// file: the module object first, then the objects that build on it.
#include "qvtr/module.h"

CComModuleSupport g_Module;
