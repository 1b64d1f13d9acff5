#pragma once
// The store tests run on every engine: SQLite always, PostgreSQL when a
// server is given (PGHOST and friends, as pg_virtualenv sets them). In CI
// (CI set) a missing server fails the PostgreSQL tests instead of skipping.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "history/HistoryStore.h"
#include "tests/support/TempFolder.h"

namespace evenor::test {

enum class Engine { Sqlite, Postgres };

inline std::string EngineName(const testing::TestParamInfo<Engine>& info)
{
    return info.param == Engine::Sqlite ? "sqlite" : "postgres";
}

// One empty database per test: a file in a temporary folder, or a schema of
// its own on the server, dropped afterwards.
class EngineDatabase {
public:
    explicit EngineDatabase(Engine engine) : engine_(engine)
    {
        if (engine == Engine::Sqlite) {
            location_ = (folder_ / "history.sqlite").string();
            return;
        }
        static std::atomic<int> counter{0};
        schema_ = "evenor_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
        admin_ = OpenPostgresSession("postgresql://");
        admin_->Run("CREATE SCHEMA " + schema_, {});
        location_ = "postgresql://?options=-csearch_path%3D" + schema_;
    }
    ~EngineDatabase()
    {
        if (admin_) admin_->Run("DROP SCHEMA " + schema_ + " CASCADE", {});
    }
    const std::string& Location() const { return location_; }
    std::unique_ptr<HistoryStore> Open() const { return HistoryStore::Open(location_); }

    // Empty when the engine can be tested; else why not.
    static std::string Unavailable(Engine engine)
    {
        if (engine == Engine::Sqlite || std::getenv("PGHOST")) return {};
        return "no PostgreSQL server (PGHOST is not set; scripts/test starts one with pg_virtualenv)";
    }

private:
    Engine engine_;
    TempFolder folder_;
    std::string schema_;
    std::unique_ptr<SqlSession> admin_;
    std::string location_;
};

#define EVENOR_REQUIRE_ENGINE(engine)                                                                                  \
    do {                                                                                                               \
        if (const std::string why = ::evenor::test::EngineDatabase::Unavailable(engine); !why.empty()) {               \
            if (std::getenv("CI")) FAIL() << why;                                                                      \
            GTEST_SKIP() << why;                                                                                       \
        }                                                                                                              \
    } while (false)

}  // namespace evenor::test
