// SignDemoPlan.h
//
// What the demo's scripted token holder does during a sign confirmation:
// the pages the token will show for the transaction (laid out by the CSP's
// own code, so they are the pages the holder gets) and the emulator control
// commands that read each page and then confirm or cancel: the page key on
// every page that has a later line, Enter (or Esc) on the last one, and
// Enter once more at the second confirmation when the transaction asks for
// one. Each press waits ("when") for the first text row of its page; that
// row may show on an earlier page too, and the press is then queued early,
// but the token takes each key only at its next poll, after it has drawn
// the page the key belongs to.
#pragma once

#include <string>
#include <vector>

struct SignDemoPage {
    // The four rows as the emulator reads the screen back: UTF-8, trailing
    // spaces cut; the last is the key-hint row.
    std::vector<std::string> rows;
    // The text the holder's press on this page waits for.
    std::string strMarker;
};

struct SignDemoPlan {
    std::vector<SignDemoPage> pages;
    // The transaction is shown whole and confirmed a second time; false for
    // data the token only asks to confirm as "a digital signature".
    bool bSecond = false;
    // "user <id> press ..." commands, in order.
    std::vector<std::string> commands;
};

// The plan for the bytes to be signed (UTF-8 sign-data XML, as the CSP reads
// the hashed data) on token strToken; bCancel presses Esc on the last page
// in place of Enter.
SignDemoPlan PlanConfirmation(const std::string &strData, const std::string &strToken,
                              bool bCancel);
