// Test support for simulation tests: a fixture that runs each test on a
// fresh simulation kernel over an in-memory store, and names the seed when a
// test fails, so that SIM_SEED=<seed> replays it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "platform/sim/sim_kernel.h"
#include "platform/store/store.h"

namespace velto::platform::sim {

class SimTest : public ::testing::Test {
 protected:
  SimTest() : store_(store::Store::open(":memory:")) {}

  void SetUp() override { kernel_ = std::make_unique<SimKernel>(store_, options()); }

  void TearDown() override {
    if (HasFailure()) {
      std::fprintf(stderr, "simulation seed %llu (replay with %s)\n",
                   static_cast<unsigned long long>(kernel_->seed()),
                   kernel_->replay_hint().c_str());
    }
    kernel_.reset();
  }

  virtual SimOptions options() { return {}; }

  SimKernel& kernel() { return *kernel_; }
  store::Store& store() { return store_; }

 private:
  store::Store store_;
  std::unique_ptr<SimKernel> kernel_;
};

}  // namespace velto::platform::sim
