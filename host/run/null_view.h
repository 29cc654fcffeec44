// A front end that shows nothing: the base of front ends that render only a few of the
// session's events, and of benchmarks.
#pragma once

#include "host/run/run_session.h"

namespace kelvra::run {

class NullRunView : public IRunView {
public:
    void OnEvent(const RunEvent &) override {}
    // Nobody is there to answer: the safe answer.
    MessageBoxAnswer Ask(const Question &question) override {
        return question.buttons == MessageBoxButtons::YesNo ? MessageBoxAnswer::No : MessageBoxAnswer::Ok;
    }
};

}  // namespace kelvra::run
