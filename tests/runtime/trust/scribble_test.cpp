// Another user writes over the owner's shared memory: every byte of a
// segment random, or single words flipped. What it may write (rings, writer
// slots, objects open to all, message names, debugger output) it spoils; the
// rest it cannot even open. Either way the owner keeps its session, objects,
// consumers and notifications, and a consumer whose ring was spoiled
// replaces it and reports the loss.
#include <algorithm>
#include <tuple>

#include "trust_test_util.h"

namespace trust_test {
namespace {

using Attack = std::tuple<std::string, std::string>;  // segment kind, "scribble" or "flip"

class SegmentAttack : public HostileTest, public ::testing::WithParamInterface<Attack> {};

TEST_P(SegmentAttack, OwnerKeepsItsSessionObjectsConsumersAndNotifications) {
    const auto& [kind, how] = GetParam();
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    const auto& kinds = segment_kinds();
    auto k = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& x) { return kind == x.name; });
    ASSERT_NE(k, kinds.end());
    std::vector<std::string> paths = paths_of(list_targets(root()), kind);
    ASSERT_FALSE(paths.empty()) << "the scene has no " << kind << " segment";
    unsigned seed = 1;
    for (const std::string& path : paths) {
        EXPECT_EQ(attack({how, path, std::to_string(seed++)}), k->others_may_write ? "written" : "denied") << path;
        release_hostile();
    }
    expect_owner_unharmed(how + " of " + kind, kind == "shared-objects");
    if (kind == "ring" && how == "scribble") {
        // Each consumer found its ring damaged, replaced it, and said so.
        EXPECT_TRUE(testing_support::eventually([&] { return consumer_->received.lost.load() > 0; }))
            << "the loss was reported to the BufferCallback";
        std::vector<std::string> texts = debug_texts();
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
            return t.find("was damaged (its header was written over)") != std::string::npos;
        }));
        EXPECT_GT(owner_events_there().second, 0u) << "the consumer process reported its loss too";
    }
}

std::vector<Attack> every_attack() {
    std::vector<Attack> out;
    for (const Kind& k : segment_kinds())
        for (const char* how : {"scribble", "flip"}) out.emplace_back(k.name, how);
    return out;
}

std::string attack_name(const ::testing::TestParamInfo<Attack>& info) {
    std::string name = std::get<1>(info.param) + "_" + std::get<0>(info.param);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(EverySegment, SegmentAttack, ::testing::ValuesIn(every_attack()), attack_name);

}  // namespace
}  // namespace trust_test
