// SendrowApp.cpp
#include "SendrowApp.h"

namespace {

CSendrowApp theApp;

}  // namespace

CSendrowApp &CSendrowApp::GetInstance()
{
    return theApp;
}
