#pragma once

#include "tests/support/IsolatedUserFolders.h"

// The per-user folders of this test program (set up before the first test).
const testsupport::IsolatedUserFolders& LibraryTestFolders();
