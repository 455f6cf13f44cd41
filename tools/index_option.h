// The --db option every tool shares.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "platform/metadata/store.h"

// An index file or a database URI; a URI that carries its password is
// refused before anything is opened: every user of the machine can read a
// command line.
inline CLI::Option* AddIndexOption(CLI::App& app, std::string& db, const std::string& description) {
  const CLI::Validator withoutPassword(
      [](std::string& location) -> std::string {
        if (!metadata::DatabaseUriHoldsPassword(location)) return {};
        return "the address holds a password, which every user of this machine can read on a command line; "
               "keep it in ~/.pgpass (or give it in PGPASSWORD) instead";
      },
      "", "WITHOUT PASSWORD");
  return app.add_option("--db", db, description)->check(withoutPassword);
}
