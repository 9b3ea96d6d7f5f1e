#include "kemora/motor/registry.hpp"

#include <gtest/gtest.h>

#include "kemora/motor/ingest_sources.hpp"

using namespace kemora::motor;

TEST(Registry, EighteenStepsInCanonicalOrderWithSharedRkdNotebook) {
  ASSERT_EQ(ADIM_REGISTRY.size(), 18u);
  EXPECT_EQ(ADIM_REGISTRY.front().kod, "ingest_ddl");
  EXPECT_EQ(ADIM_REGISTRY[10].kod, "transform");
  EXPECT_EQ(ADIM_REGISTRY[14].kod, "marts");
  EXPECT_EQ(ADIM_REGISTRY.back().kod, "backtest_ml");
  EXPECT_EQ(registry_find("ingest_rkd")->nb, registry_find("ingest_memzuc")->nb);
  EXPECT_EQ(registry_find("transform")->aciklama, "Bronze → Silver (EUS patch dahil)");
  EXPECT_EQ(registry_find("export"), nullptr);
}

TEST(Registry, IngestStepsAreTheTenIngestCodesInOrder) {
  ASSERT_EQ(ALL_INGEST_STEPS.size(), 10u);
  EXPECT_EQ(ALL_INGEST_STEPS.front(), "ingest_ddl");
  EXPECT_EQ(ALL_INGEST_STEPS.back(), "ingest_memzuc");
}

TEST(Registry, DependencyMapHasNineteenKeysAndExportWithoutRecord) {
  EXPECT_EQ(BAGIMLILIK.size(), 19u);
  EXPECT_TRUE(prerequisites("ingest_ddl").empty());
  EXPECT_TRUE(prerequisites("unknown").empty());
  ASSERT_EQ(prerequisites("export").size(), 1u);
  EXPECT_EQ(prerequisites("transform").size(), 9u);
}

TEST(FromStep, PassesOverTheStepsBeforeItInRegistryOrder) {
  auto marts = steps_before("marts");
  EXPECT_EQ(marts.size(), 14u);
  EXPECT_TRUE(marts.count("ml_predict"));  // ML steps stand before marts in the registry
  EXPECT_FALSE(marts.count("marts"));
  auto ml = steps_before("ml_features");
  EXPECT_EQ(ml.size(), 11u);
  EXPECT_FALSE(ml.count("marts"));
  EXPECT_TRUE(steps_before("ingest_ddl").empty());
  EXPECT_TRUE(steps_before("export").empty());
  EXPECT_TRUE(steps_before("").empty());
}

TEST(Cascade, KeepsPrerequisitesThatRanInListOrder) {
  EXPECT_EQ(cascade_triggers("ml_predict", {"marts", "ml_train"}), (std::vector<std::string>{"ml_train", "marts"}));
  EXPECT_EQ(cascade_triggers("ml_predict", {"marts"}), (std::vector<std::string>{"marts"}));
  EXPECT_EQ(cascade_triggers("transform", {"ingest_yis", "ingest_kik", "ingest_ddl"}),
            (std::vector<std::string>{"ingest_kik", "ingest_yis"}));
  EXPECT_TRUE(cascade_triggers("ingest_ddl", {"ingest_kik"}).empty());
  EXPECT_TRUE(cascade_triggers("backtest_eus", {}).empty());
}

TEST(Registry, IngestStepsNameTheFoldersTheyRead) {
  std::vector<std::string> all;
  for (auto kod : ALL_INGEST_STEPS) {
    std::string line(kod);
    for (auto key : ingest_source_keys(kod)) line += " " + std::string(key);
    all.push_back(line);
  }
  EXPECT_EQ(all, (std::vector<std::string>{"ingest_ddl", "ingest_kik kik_data_ham_csv", "ingest_kredi kredi_db",
                                           "ingest_yis yis_tahmin_data", "ingest_eus eus_tahmin_data",
                                           "ingest_hedef_kapsam eus_hedef_muta eus_sql_kapsam_muta",
                                           "ingest_statik statik_db", "ingest_train yis_train_data",
                                           "ingest_rkd rkd_donem_data", "ingest_memzuc memzuc_data_donem"}));
  EXPECT_TRUE(ingest_source_keys("transform").empty());
  EXPECT_TRUE(ingest_source_keys("ingest_unknown").empty());
}
