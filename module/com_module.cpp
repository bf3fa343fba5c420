#include <cstring>

#include "qvtr/module.h"

CComModule::CComModule()
    : m_hInst(nullptr),
      m_hInstResource(nullptr),
      m_hInstTypeLib(nullptr),
      m_pObjMap(nullptr),
      m_libid(),
      m_bInitialized(false) {}

CComModule::~CComModule() = default;

HRESULT CComModule::Init(_ATL_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance, const GUID* pLibId) {
    m_pObjMap = pObjMap;
    m_hInst = m_hInstResource = m_hInstTypeLib = hInstance;
    if (pLibId != nullptr) {
        std::memcpy(&m_libid, pLibId, sizeof m_libid);
    }
    m_bInitialized = true;
    return S_OK;
}

void CComModule::Term() {
    m_pObjMap = nullptr;
    m_bInitialized = false;
}
