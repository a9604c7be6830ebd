#pragma once
// The plain file digest the transaction tests hash with.
#include <filesystem>

#include "payload/Sha256.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"
#include "txn/TransactionPaths.h"

namespace orvo::test { inline const DigestFile fileDigest = [](const std::wstring& path) { return sha256File(path); }; }
