// SoundThread.h
//
// CSoundThread: the prompt sound. Play starts a .wav file asynchronously
// through winmm's sndPlaySoundA and Stop ends whatever it plays; both do
// nothing (and succeed) unless [NOTICE] PlaySound of "KQUKeyConfig.ini" is 1.
#pragma once

#include <windows.h>

class CSoundThread {
public:
    CSoundThread();
    virtual ~CSoundThread();

    // 1 when [NOTICE] PlaySound is 1, else 0.
    static int IsPlaySound();
    // 0 for a null path; 1 without playing when the setting is off; else what
    // sndPlaySoundA (path, SND_ASYNC) returns.
    int Play(const char *pszWavPath);
    // 1 when the setting is off; else what sndPlaySoundA (NULL, 0) returns.
    int Stop();
};
