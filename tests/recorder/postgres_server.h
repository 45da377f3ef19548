// A real PostgreSQL 15 server for the tests that ship rows to it: made in a
// fresh folder on a free loopback port at the first use, trust login for
// user "talo", database "talo"; stopped and removed when the test program
// ends, failed tests or not. PostgreSQL will not run as root, so under root
// it runs as "nobody" in a folder given to that user.
#pragma once

#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "recorder_process.h"

namespace talo_recorder_test {

class PostgresServer {
 public:
  using Rows = std::vector<std::vector<std::optional<std::string>>>;

  // The program's one server, started at the first call.
  static PostgresServer &Shared() {
    static PostgresServer server;
    return server;
  }

  int port() const { return port_; }
  std::string Url(const std::string &user = "talo", const std::string &password = "") const {
    return "postgresql://" + user + (password.empty() ? "" : ":" + password) + "@127.0.0.1:" +
           std::to_string(port_) + "/talo";
  }
  bool Start() { return Ctl("-w -l " + (dir_.path / "log").string() + " -o '-p " + std::to_string(port_) + " -k " +
                            dir_.path.string() + " -c listen_addresses=127.0.0.1 -c fsync=off' start"); }
  bool Stop() { return Ctl("-w -m fast stop"); }

  // The rows of a query, NULL as nullopt; throws when it fails.
  Rows Query(const std::string &sql, const std::string &db = "talo") const {
    std::unique_ptr<PGconn, void (*)(PGconn *)> pg(
        PQconnectdb(("host=127.0.0.1 user=talo dbname=" + db + " port=" + std::to_string(port_)).c_str()), PQfinish);
    std::unique_ptr<PGresult, void (*)(PGresult *)> r(PQexec(pg.get(), sql.c_str()), PQclear);
    const auto status = PQresultStatus(r.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) throw std::runtime_error(PQerrorMessage(pg.get()));
    Rows rows(static_cast<size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i)
      for (int j = 0; j < PQnfields(r.get()); ++j)
        rows[static_cast<size_t>(i)].push_back(PQgetisnull(r.get(), i, j) ? std::nullopt
                                                                           : std::optional<std::string>(PQgetvalue(r.get(), i, j)));
    return rows;
  }

  // A loopback port nothing listens on right now.
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
  }

 private:
  PostgresServer() : port_(FreePort()) {
    if (::geteuid() == 0) {
      if (const passwd *nobody = ::getpwnam("nobody")) {
        fs::permissions(dir_.path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        if (::chown(dir_.path.c_str(), nobody->pw_uid, nobody->pw_gid) == 0) as_ = "runuser -u nobody -- ";
      }
    }
    if (!Run(kBin + std::string("initdb -D ") + Data() + " -A trust -U talo -E UTF8 --locale=C --no-sync >" +
             (dir_.path / "initdb.log").string() + " 2>&1") ||
        !Start())
      throw std::runtime_error("cannot start PostgreSQL: see " + dir_.path.string());
    Query("CREATE DATABASE talo", "postgres");
  }
  ~PostgresServer() { Ctl("-m immediate stop"); }

  static constexpr const char *kBin = "/usr/lib/postgresql/15/bin/";
  std::string Data() const { return (dir_.path / "data").string(); }
  bool Run(const std::string &command) const { return std::system((as_ + command).c_str()) == 0; }
  bool Ctl(const std::string &what) const {
    return Run(kBin + std::string("pg_ctl -D ") + Data() + " " + what + " >>" + (dir_.path / "ctl.log").string() +
               " 2>&1");
  }

  TempDir dir_;
  std::string as_;  // the command prefix that runs as the server's user
  int port_;
};

}  // namespace talo_recorder_test
