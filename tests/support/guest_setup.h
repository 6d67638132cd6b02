// Which guest stand-in the plug-in finds, and the control record it reports
// to: the stand-in variant's folder is made the DLL directory, so that the
// plug-in's bare-name load finds it, and the record's address is published
// to the guest through the environment. Both are undone on destruction.
#pragma once

#include <string>

#include "doubles/guest/guest_double.h"
#include "support/test_support.h"

namespace testing_support {

class GuestSetup {
public:
    // variant: a folder under bin/doubles ("guest_v10", ...); "" selects an
    // empty folder: no guest DLL at all.
    GuestSetup(const std::string& variant, GuestDoubleControl* control);
    ~GuestSetup();
    GuestSetup(const GuestSetup&) = delete;
    GuestSetup& operator=(const GuestSetup&) = delete;
    // Another variant for the next start.
    void Use(const std::string& variant);
private:
    TempDir empty_;
};

} // namespace testing_support
