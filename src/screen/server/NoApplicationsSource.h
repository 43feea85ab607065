// The application section while no application monitor runs: no applications, so the section
// holds only the window snapshot with no windows.
#pragma once

#include "screen/server/ApplicationInfoSource.h"

namespace kl {

class NoApplicationsSource : public ApplicationInfoSource {
public:
    void pollInBackground() override {}
    bool sendApplicationSection(const SendRecord& send) override;
};

}  // namespace kl
