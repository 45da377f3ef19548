// The console's accounts, sessions and audit trail in the central PostgreSQL
// database that several recorder nodes share, so one login works on every
// node's console. Tables come with the central schema's steps.
//
// Threads: each backend owns one connection, serialized by its own lock,
// and may be called from any thread. A connection lost is made again at the
// next call, at most once a second; meanwhile calls throw StoreUnavailable
// at once, naming the server without its password.
#pragma once

#include <memory>
#include <string>

#include "accounts.h"
#include "audit_log.h"
#include "sessions.h"

namespace talo_recorder {

std::unique_ptr<AccountBackend> CentralAccounts(const std::string &url);
std::unique_ptr<SessionShare> CentralSessions(const std::string &url);
// `node` names the rows this recorder writes.
std::unique_ptr<AuditBackend> CentralAudit(const std::string &url, const std::string &node);

}  // namespace talo_recorder
