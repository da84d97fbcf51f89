// Instances of the frei0r filter through its entry points: two on two threads
// at once, each with its own settings and host state (frame rate, scene
// name, clock), make the frames each makes alone; one instance's slate never
// reaches another.
#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <frei0r.h>
}

namespace {

constexpr unsigned kW = 160, kH = 120;
using Frame = std::vector<uint32_t>;

struct Filter {
  void* handle = dlopen(LUMATRICE_FREI0R_FILTER, RTLD_NOW | RTLD_LOCAL);
  template <typename F>
  F* Get(const char* name) {
    return reinterpret_cast<F*>(dlsym(handle, name));
  }
  ~Filter() {
    if (handle) dlclose(handle);
  }
};

struct Settings {
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<std::pair<std::string, double>> switches;
};

// One instance with its settings, given frames of a fixed pattern.
class Instance {
 public:
  Instance(Filter& f, const Settings& s)
      : destruct_(f.Get<decltype(f0r_destruct)>("f0r_destruct")),
        update_(f.Get<decltype(f0r_update)>("f0r_update")),
        instance_(f.Get<decltype(f0r_construct)>("f0r_construct")(kW, kH)) {
    EXPECT_NE(instance_, nullptr);
    auto info = f.Get<decltype(f0r_get_param_info)>("f0r_get_param_info");
    auto set = f.Get<decltype(f0r_set_param_value)>("f0r_set_param_value");
    f0r_plugin_info_t plugin{};
    f.Get<decltype(f0r_get_plugin_info)>("f0r_get_plugin_info")(&plugin);
    for (int i = 0; i < plugin.num_params; ++i) {
      f0r_param_info_t p{};
      info(&p, i);
      for (const auto& [name, text] : s.texts) {
        const char* value = text.c_str();
        if (name == p.name) set(instance_, &value, i);
      }
      for (auto [name, value] : s.switches)
        if (name == p.name) set(instance_, &value, i);
    }
  }
  ~Instance() { destruct_(instance_); }
  Frame Update(int frame) {
    Frame in(kW * kH), out(kW * kH);
    for (unsigned i = 0; i < in.size(); ++i) in[i] = 0xFF000000u | (i * 2654435761u >> 8);
    update_(instance_, frame / 25.0, in.data(), out.data());
    return out;
  }

 private:
  decltype(f0r_destruct)* destruct_;
  decltype(f0r_update)* update_;
  f0r_instance_t instance_;
};

std::vector<Frame> Render(Filter& f, const Settings& s, int count) {
  Instance instance(f, s);
  std::vector<Frame> frames;
  for (int t = 0; t < count; ++t) frames.push_back(instance.Update(t));
  return frames;
}

bool IsSlate(const Frame& f) {
  int grey = 0;
  for (uint32_t p : f) grey += p == 0xFF404040u;
  return grey > int(f.size()) / 2;
}

class Frei0rFilter : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(filter.handle, nullptr) << dlerror();
    ASSERT_EQ(filter.Get<decltype(f0r_init)>("f0r_init")(), 1);
  }
  void TearDown() override { filter.Get<decltype(f0r_deinit)>("f0r_deinit")(); }
  Filter filter;
};

const Settings kFirst{{{"Comments", "first"}, {"Scene Name", "a.blend"}, {"Frame Rate", "25"},
                       {"Clock", "2026-01-01T10:00:00"}},
                      {{"Display Filename", 1}, {"Display Date", 1}}};
// Its render started long before: it never carries the slate.
const Settings kSecond{{{"Comments", "second"}, {"Scene Name", "b.blend"}, {"Frame Rate", "30"},
                        {"Clock", "2026-02-02T11:00:00"}, {"Render Start", "100"}},
                       {{"Display Filename", 1}, {"Display Date", 1}, {"Display Header", 0}}};

TEST_F(Frei0rFilter, OneInstancesSlateReachesNoOther) {
  Settings first = kFirst;
  first.texts.emplace_back("Render Start", "2");
  Instance a(filter, first), b(filter, kSecond);
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(IsSlate(a.Update(t)), t == 2) << "frame " << t;
    EXPECT_FALSE(IsSlate(b.Update(t))) << "frame " << t;
  }
}

TEST_F(Frei0rFilter, InstancesOnTwoThreadsKeepTheirOwnFramesAndHostState) {
  constexpr int kFrames = 6;
  const std::vector<Frame> want_a = Render(filter, kFirst, kFrames);
  const std::vector<Frame> want_b = Render(filter, kSecond, kFrames);
  ASSERT_TRUE(IsSlate(want_a[0]));
  // The second's own frame rate, scene and clock show in its frames.
  Settings second_in_first_state = kSecond;
  for (auto& [name, text] : second_in_first_state.texts)
    for (const auto& [first_name, first_text] : kFirst.texts)
      if (name == first_name && name != "Comments") text = first_text;
  ASSERT_NE(Render(filter, second_in_first_state, 2)[1], want_b[1]);
  for (int round = 0; round < 3; ++round) {
    std::vector<Frame> got_a, got_b;
    std::thread other([&] { got_b = Render(filter, kSecond, kFrames); });
    got_a = Render(filter, kFirst, kFrames);
    other.join();
    for (int i = 0; i < kFrames; ++i) {
      EXPECT_EQ(got_a[i], want_a[i]) << "round " << round << ", first instance, frame " << i;
      EXPECT_EQ(got_b[i], want_b[i]) << "round " << round << ", second instance, frame " << i;
    }
  }
}

}  // namespace
