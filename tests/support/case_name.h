// Names the instances of a table of cases by each case's `name` field, so a
// failure says which row of the table it was.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test_support {

struct CaseName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& param_info) const {
        return param_info.param.name;
    }
};

}  // namespace test_support
