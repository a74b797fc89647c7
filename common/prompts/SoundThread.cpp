// SoundThread.cpp
#include "SoundThread.h"

#include <mmsystem.h>

#include "PromptConfig.h"
#include "TraceWriter.h"

CSoundThread::CSoundThread() {}

CSoundThread::~CSoundThread() {}

int CSoundThread::IsPlaySound()
{
    return KQPromptSettingOn("PlaySound");
}

int CSoundThread::Play(const char *pszWavPath)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CSoundThread", "Play");
    int nResult = 0;
    try {
        if (pszWavPath == nullptr) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                        "CSoundThread::Play pFileName==NULL");
            nResult = 0;
        } else if (IsPlaySound() == 0) {
            nResult = 1;
        } else {
            pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                        "CSoundThread::Play sndPlaySound pFileName=[%s]", pszWavPath);
            nResult = sndPlaySoundA(pszWavPath, SND_ASYNC);
            if (!nResult)
                pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                            "CSoundThread::Play sndPlaySound Failed,GetLastError=[%d]",
                            static_cast<int>(GetLastError()));
        }
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "CSoundThread::Play");
        nResult = 0;
    }
    pTrace->Leave(TRACE_MODULE_CSP, "CSoundThread", "Play");
    return nResult;
}

int CSoundThread::Stop()
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CSoundThread", "Stop");
    int nResult = 1;
    try {
        if (IsPlaySound() != 0) {
            nResult = sndPlaySoundA(nullptr, 0);
            if (!nResult)
                pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                            "CSoundThread::Stop sndPlaySound Failed,GetLastError=[%d]",
                            static_cast<int>(GetLastError()));
        }
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "CSoundThread::Stop");
        nResult = 0;
    }
    pTrace->Leave(TRACE_MODULE_CSP, "CSoundThread", "Stop");
    return nResult;
}
