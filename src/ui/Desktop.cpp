#include "ui/Desktop.h"

#include "core/App.h"
#include "watch/CheckCycle.h"

namespace kestrova {

// Placeholder until the windows are built.
struct Desktop::Impl {
    App& app;
    CheckCycle& cycle;
};

Desktop::Desktop(App& app, CheckCycle& cycle) : impl_(new Impl{app, cycle}) {}
Desktop::~Desktop() = default;

bool Desktop::start() {
    impl_->cycle.setWatching(true);
    return true;
}

} // namespace kestrova
