#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "support/errornumber.h"
#include "support/tempdir.h"

// A fresh catalogue file, made from the program's schema in a temporary folder per test.
class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Opens another handle on the test's catalogue.
  std::shared_ptr<engine::Database> open() const;
  // Inserts a row with the given title and artist through `db`.
  void insertSong(engine::Database& db, const std::string& title, const std::string& artist) const;
  std::int64_t count(engine::Database& db, const std::string& where = "") const;

  testsupport::TempDir m_tempDir;  // one per test, as the fixture is
  std::filesystem::path m_dir = m_tempDir.path();
  std::string m_path;
};

using testsupport::errorNumber;

using testsupport::writeFile;
