#include "gitactivity/prune.hpp"

#include "temp_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;
using pylon::testing::TempDir;

MarkerOwner owner(std::string name, OwnerState state, bool out_of_time = false) {
  MarkerOwner o{std::move(name), state, std::nullopt, {}, out_of_time};
  if (state == OwnerState::Found) {
    o.root = "/home/u/r";
  }
  return o;
}

PruneEntry entry(std::string name, OwnerState state, bool plain, bool named = false,
                 bool out_of_time = false) {
  return {owner(std::move(name), state, out_of_time), MarkerFile{plain, 1, 2, 3, 4, 5, 6}, named};
}

std::vector<std::string> step_names(const PrunePlan& plan) {
  std::vector<std::string> names;
  for (const PruneStep& step : plan.remove) {
    names.push_back(step.name);
  }
  return names;
}

auto far() {
  return std::chrono::steady_clock::now() + std::chrono::hours(1);
}

void touch(const std::filesystem::path& file) {
  std::ofstream{file};
}

}  // namespace

TEST(PlanPrune, RemovesGoneOrNamedPlainMarkersAndRefusesAsAWhole) {
  struct Row {
    const char* what;
    std::vector<PruneEntry> entries;
    std::vector<std::string> no_marker;
    std::vector<std::string> remove;
    std::size_t unreachable;
    std::size_t kept;
    std::size_t refused;
  };
  constexpr auto gone = OwnerState::Gone, away = OwnerState::Unreachable;
  const std::vector<PruneEntry> one_there = {entry("-a", gone, true, true),
                                             entry("-b", OwnerState::Found, true, true)};
  const Row rows[] = {
      {"gone and plain", {entry("-a", gone, true)}, {}, {"-a"}, 0, 0, 0},
      {"gone, with another hard link", {entry("-a", gone, false)}, {}, {}, 0, 1, 0},
      {"unreachable is kept", {entry("-a", away, true)}, {}, {}, 1, 0, 0},
      {"found is left alone", {entry("-a", OwnerState::Found, true)}, {}, {}, 0, 0, 0},
      {"named unreachable: the user says so", {entry("-a", away, true, true)}, {}, {"-a"}, 0, 0, 0},
      {"named, not looked at", {entry("-a", away, true, true, true)}, {}, {}, 1, 0, 0},
      {"named, with another hard link", {entry("-a", gone, false, true)}, {}, {}, 0, 1, 0},
      {"a named repository that is there refuses the whole run", one_there, {}, {}, 0, 0, 1},
      {"a name that is no marker refuses all", {entry("-a", gone, true, true)}, {"?"}, {}, 0, 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const PrunePlan plan = plan_prune(row.entries, row.no_marker);
    EXPECT_EQ(step_names(plan), row.remove);
    EXPECT_EQ(plan.unreachable.size(), row.unreachable);
    EXPECT_EQ(plan.kept.size(), row.kept);
    EXPECT_EQ(plan.refused.size(), row.refused);
  }
  const PrunePlan refused = plan_prune(one_there);
  ASSERT_EQ(refused.refused.size(), 1U);
  EXPECT_EQ(refused.refused[0].name, "-b");
  EXPECT_EQ(refused.refused[0].root, std::filesystem::path("/home/u/r"));
}

// The world changes between the survey and the removal: each change keeps its marker.
TEST(ApplyPrune, LooksAgainAndChecksTheFileJustBeforeEachRemoval) {
  const TempDir tmp;
  for (const char* name :
       {"-back", "-linked", "-replaced", "-doubted", "-journal-full", "-gone", "-in-1969"}) {
    touch(tmp / name);
  }
  const struct timespec before_1970[2] = {{-1, 0}, {-1, 0}};  // no journal line holds it
  ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "-in-1969").c_str(), before_1970, 0), 0);
  std::map<std::string, OwnerState> world;
  const OwnerLookup lookup = [&](std::string_view m) {
    const auto it = world.find(std::string(m));
    return owner(std::string(m), it == world.end() ? OwnerState::Gone : it->second);
  };
  auto survey = survey_prune(tmp.path(), {}, lookup, far());
  ASSERT_TRUE(survey.ok());
  const PrunePlan plan = plan_prune(survey.value().entries);
  ASSERT_EQ(plan.remove.size(), 7U);

  world["-back"] = OwnerState::Found;           // the repository came back
  world["-doubted"] = OwnerState::Unreachable;  // its volume went away
  ASSERT_EQ(::link((tmp / "-linked").c_str(), (tmp / "other").c_str()), 0);
  std::filesystem::remove(tmp / "-replaced");
  touch(tmp / "-replaced");
  std::vector<std::string> journal;
  const PruneResult result = apply_prune(
      survey.value(), plan, [&] { return lookup; },
      [&](std::span<const Removed> batch) -> Result<Unit, std::error_code> {
        if (batch[0].name == "-journal-full") {
          return Err{std::make_error_code(std::errc::no_space_on_device)};
        }
        journal.push_back(batch[0].name);
        return Unit{};
      },
      far(), 1);

  ASSERT_EQ(result.removed.size(), 1U);
  EXPECT_EQ(result.removed[0].name, "-gone");
  EXPECT_FALSE(std::filesystem::exists(tmp / "-gone"));
  std::map<std::string, KeptWhy> kept;
  for (const Kept& k : result.kept) {
    kept[k.name] = k.why;
  }
  const std::map<std::string, KeptWhy> want = {{"-back", KeptWhy::Found},
                                               {"-doubted", KeptWhy::Doubted},
                                               {"-linked", KeptWhy::Changed},
                                               {"-replaced", KeptWhy::Changed}};
  EXPECT_EQ(kept, want);
  ASSERT_EQ(result.failures.size(), 2U);
  EXPECT_EQ(result.failures[0].name, "-in-1969");
  EXPECT_EQ(result.failures[1].name, "-journal-full");  // no journal line, no removal
  EXPECT_TRUE(result.failures[0].journal && result.failures[1].journal);
  for (const char* name :
       {"-back", "-doubted", "-linked", "-replaced", "-journal-full", "-in-1969"}) {
    EXPECT_TRUE(std::filesystem::exists(tmp / name)) << name;
  }
  // a marker is journalled before its file is checked the last time, never after its removal
  const std::vector<std::string> journalled = {"-gone", "-linked", "-replaced"};
  EXPECT_EQ(journal, journalled);
}

TEST(ApplyPrune, NothingIsBegunAfterTheDeadline) {
  const TempDir tmp;
  touch(tmp / "-gone");
  const OwnerLookup lookup = [](std::string_view m) {
    return owner(std::string(m), OwnerState::Gone);
  };
  auto survey = survey_prune(tmp.path(), {}, lookup, far());
  ASSERT_TRUE(survey.ok());
  const PruneResult result = apply_prune(
      survey.value(), plan_prune(survey.value().entries), [&] { return lookup; },
      [](std::span<const Removed>) -> Result<Unit, std::error_code> { return Unit{}; },
      std::chrono::steady_clock::now());
  EXPECT_TRUE(result.removed.empty());
  EXPECT_EQ(result.unreachable, std::vector<std::string>{"-gone"});
  EXPECT_TRUE(std::filesystem::exists(tmp / "-gone"));

  auto late = survey_prune(tmp.path(), {}, lookup, std::chrono::steady_clock::now());
  ASSERT_TRUE(late.ok());
  ASSERT_EQ(late.value().entries.size(), 1U);
  EXPECT_TRUE(late.value().entries[0].owner.out_of_time);
}

// One write and one sync per batch of a thousand and more, each before the batch's first removal.
TEST(ApplyPrune, JournalsEachBatchWholeBeforeItsFirstRemoval) {
  const TempDir tmp;
  for (int i = 0; i < 2000; ++i) {
    touch(tmp / ("-gone" + std::to_string(i)));
  }
  const OwnerLookup lookup = [](std::string_view m) {
    return owner(std::string(m), OwnerState::Gone);
  };
  auto survey = survey_prune(tmp.path(), {}, lookup, far());
  ASSERT_TRUE(survey.ok());
  std::vector<std::size_t> batches;
  const PruneResult result = apply_prune(
      survey.value(), plan_prune(survey.value().entries), [&] { return lookup; },
      [&](std::span<const Removed> batch) -> Result<Unit, std::error_code> {
        for (const Removed& r : batch) {
          EXPECT_TRUE(std::filesystem::exists(tmp / r.name)) << r.name;
        }
        batches.push_back(batch.size());
        return Unit{};
      },
      far());
  EXPECT_EQ(batches, (std::vector<std::size_t>{prune_batch, 2000 - prune_batch}));
  EXPECT_EQ(result.removed.size(), 2000U);
}

TEST(SurveyPrune, NamesAreMarkersOrTheirRepositoriesPaths) {
  const TempDir tmp;
  const std::string repo = (tmp / "r").native();
  std::string marker = repo;
  std::replace(marker.begin(), marker.end(), '/', '-');
  std::filesystem::create_directory(tmp / "markers");
  touch(tmp / "markers" / marker);
  touch(tmp / "markers" / "-plain-name");
  const OwnerLookup lookup = [](std::string_view m) {
    return owner(std::string(m), OwnerState::Gone);
  };
  auto survey = survey_prune(tmp / "markers", {repo + "/", "-plain-name", "-plain-name", "typo"},
                             lookup, far());
  ASSERT_TRUE(survey.ok());
  std::vector<std::string> names;
  for (const PruneEntry& e : survey.value().entries) {
    EXPECT_TRUE(e.named);
    names.push_back(e.owner.marker);
  }
  std::vector<std::string> want = {marker, "-plain-name"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(names, want);
  EXPECT_EQ(survey.value().no_marker, std::vector<std::string>{"typo"});
}
