#pragma once

namespace testsupport {

// Removes the settings file that a new Form1 restores, and one set aside as corrupt, so that the
// next window starts from the defaults as at the program's very first start.
void forgetRememberedSettings();

} // namespace testsupport
