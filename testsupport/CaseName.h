// CaseName.h
//
// Names table-driven test cases after their own pszName field, so ctest
// lists "Suite/Case.Test/Name" rather than a dump of the parameter's bytes.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct CaseName {
    template <typename P> std::string operator()(const ::testing::TestParamInfo<P> &info) const
    {
        return info.param.pszName;
    }
};
