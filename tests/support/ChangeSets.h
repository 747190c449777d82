// Change sets applied through a model's JSON reader: the model itself never changes, a refused
// set names its fault, and an accepted one gives the changed copy.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace testsupport {

// The changed copy; null when refused (expected exactly when fault is given).
template <class Model, class ToJson, class Apply>
auto ApplyChangeSet(Model const& model, nlohmann::json const& changes, char const* fault,
                    ToJson toJson, Apply apply) {
    auto before = toJson(model);
    std::string why;
    auto changed = apply(model, changes, why);
    EXPECT_EQ(toJson(model), before);
    if (fault) {
        EXPECT_FALSE(changed);
        EXPECT_NE(why.find(fault), std::string::npos) << why;
        return decltype(changed)();
    }
    EXPECT_TRUE(changed) << why;
    return changed;
}

}  // namespace testsupport
