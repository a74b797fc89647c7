// XmlTreeCheck.h
//
// The invariants of a CXmlDocument's index, checked after every parse and
// edit by the tests and the fuzzer: links (parent, first child, the forward
// chain and the circular backward chain), first-child flags, levels, and
// every element's tags lying within the document and within its parent, in
// text order. Iterative, so any depth is checked.
#pragma once

#include <string>

#include "XmlDocument.h"

// The first violated invariant, or an empty string.
std::string CheckXmlTree(const CXmlDocument &doc);

// The first difference between the document's index and the index of its
// text parsed afresh (with the same flags), or an empty string. An edit that
// keeps the index consistent leaves none.
std::string CompareWithReparse(const CXmlDocument &doc);

// The element tree as text: "a{b c!}" is a with children b and c, "!" a
// start tag without end tag.
std::string XmlShape(const CXmlDocument &doc);
