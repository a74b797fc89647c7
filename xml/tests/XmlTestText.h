// XmlTestText.h
//
// Texts for the XML tests in either character build: X() widens a byte
// string (ASCII, or raw bytes in the 8-bit build) into XmlString, and
// Show() prints an XmlString as ASCII with \u escapes for assertions.
#pragma once

#include <string>

#include "XmlChar.h"

XmlString X(const std::string &str);
std::string Show(const XmlString &str);
