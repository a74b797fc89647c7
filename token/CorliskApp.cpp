// CorliskApp.cpp
//
// Start-up and exit of the token access library.
#include "CorliskApp.h"

#include <cstdio>
#include <cstdlib>

#include "Algorithm.h"
#include "CardInfoManager.h"
#include "HidDeviceManager.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "ModuleFolder.h"
#include "TraceWriter.h"

CCorliskApp &CCorliskApp::GetInstance()
{
    static CCorliskApp s_app;
    return s_app;
}

CCorliskApp::CCorliskApp() : m_hModule(nullptr), m_bStarted(false)
{
    InitOnceInitialize(&m_initOnce);
}

BOOL CALLBACK CCorliskApp::InitOnce(PINIT_ONCE, PVOID pParam, PVOID *)
{
    static_cast<CCorliskApp *>(pParam)->InitInstance();
    return TRUE;
}

void CCorliskApp::EnsureStarted()
{
    InitOnceExecuteOnce(&m_initOnce, &CCorliskApp::InitOnce, this, nullptr);
}

BOOL CCorliskApp::InitInstance()
{
    const std::string strFolder = KQModuleFolder(m_hModule);
    CTraceWriter::GetInstance()->LoadTraceLibrary((strFolder + "KQUKeyLog.dll").c_str());
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CCorliskApp", "InitInstance");

    CMemoryManager::LoadDLL((strFolder + "KQUKeyMem.dll").c_str());
    CAlgorithm::LoadDLL((strFolder + "KQCrypt.dll").c_str());

    // The process-wide managers every card object shares.
    CHidDeviceManager::GetInstance();
    CHidManager::GetInstance();
    CCardInfoManager::GetInstance();

    m_bStarted = true;
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CCorliskApp", "InitInstance");
    return TRUE;
}

int CCorliskApp::ExitInstance()
{
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CCorliskApp", "ExitInstance");
    CMemoryManager::UnloadDLL();
    CAlgorithm::UnloadDLL();
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CCorliskApp", "ExitInstance");
    CTraceWriter::GetInstance()->FreeTraceLibrary();
    m_bStarted = false;
    return 0;
}

void CCorliskApp::ExitFromDllMain(bool bProcessExit)
{
    // At process exit the other threads are gone and the outside libraries
    // may already be detached: freeing them from here could call into
    // unloaded code, and the system reclaims everything anyway. When the
    // library is freed (FreeLibrary, no process exit) the outside libraries
    // were loaded by this library alone and are still attached, so they are
    // released here, in the order start-up bound them reversed. Nothing was
    // bound when no export was ever called.
    if (bProcessExit || !m_bStarted)
        return;
    ExitInstance();
}
