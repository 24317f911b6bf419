// A seeded random walk over what capture applications and the system do to the camera: filters
// opened and closed, pins created, moved through every state, given formats they take and
// formats they refuse, buffers queued and taken back while frames flow, settings read and
// changed, the device stopped and started, the camera pulled out, and allocations failing at
// random points. What each step should answer comes from the client's side of the contract (the
// class driver's rules and the driver's documented answers), never from the driver's insides.
// After every step: the verifier is clean, no frame came outside RUN, picture numbers rise and
// time stamps do not go back within a stream, the settings file reads, and with nothing open the
// pool holds what it held before. A step that does not end within the hang guard aborts the run,
// naming its seed and step.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace camtest {

class StateWalk {
  public:
    explicit StateWalk(uint64_t seed);
    ~StateWalk();
    StateWalk(const StateWalk&) = delete;
    StateWalk& operator=(const StateWalk&) = delete;

    // Takes `steps` steps; false at the first that went wrong, which failure() describes.
    bool Run(uint64_t steps);
    const std::string& failure() const { return failure_; }
    // "action: answer count" lines, one for each action and answer seen, and the walk's figures.
    std::string Coverage() const;

  private:
    struct Pin;
    struct Filter;

    void Step();
    void OpenFilter();
    void CloseFilter(size_t index);
    void CreatePin(Filter& filter);
    void ClosePin(Filter& filter);
    void ChangeState(Filter& filter);
    void ChangeFormat(Filter& filter);
    void QueueBuffers(Pin& pin);
    void TakeFrames(Pin& pin, bool just_left_run);
    void Property();
    void RestartDevice();
    void PullOut();
    void CheckWorld();

    Pin* CameraHolder();
    std::vector<uint8_t> Format(int kind);
    void Count(const std::string& action, NTSTATUS status);
    void Fail(const std::string& what);
    bool Expect(bool ok, const std::string& what);

    uint64_t seed_;
    uint64_t step_ = 0;
    uint64_t random_state_;
    uint64_t Random(uint64_t below);

    Rig rig_;
    std::vector<std::unique_ptr<Filter>> filters_;
    std::vector<uint8_t> default_format_;
    bool pulled_out_ = false;    // the camera is gone; the client closes, the system removes
    bool faults_armed_ = false;  // an allocation of this step fails
    size_t idle_blocks_ = 0;     // the pool with the device started and nothing open
    std::map<std::string, uint64_t> coverage_;
    uint64_t frames_ = 0;
    std::string failure_;
};

}  // namespace camtest
