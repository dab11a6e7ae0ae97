#pragma once

// The window as the face of the service that guards the machine: it shows the service's rules,
// table and cuts, and sends the user's rule edits there.

#include "service/ControlProtocol.h"
#include "ui/qt/ControlClient.h"

#include <string>

namespace kt {

class Application;

// What a window finds at the service's socket, before it loads anything into the kernel.
enum class ServiceFound {
    None,      // no socket, or nobody listens on it
    Listening, // a service answers (whether it admits this user, it says once connected)
    KeptOut,   // the socket's mode keeps this user out
};
// Answers at once: a Unix socket's connect does not wait for the service.
ServiceFound LookForService(const std::string& path);

class ServiceFace {
public:
    // For the service at path; app becomes its face once the service answers.
    ServiceFace(Application& app, std::string path, std::string group);
    ServiceFace(const ServiceFace&) = delete;
    ServiceFace& operator=(const ServiceFace&) = delete;

    // Before app starts: it starts as the face, on no rules of its own.
    void BecomeFace();
    // Once app has started: connects.
    void Start();
    // While app is not a face: connects if a service listens at the path. Not after the service
    // refused this user.
    void Look();
    const ControlClient& Client() const { return client_; }

private:
    void FollowView();
    void SendEdits();
    void Leave(const std::string& said);

    Application& app_;
    std::string path_;
    std::string group_;
    ControlClient client_;
    // The service's rules as it last told them, with the edits sent since.
    RuleTexts service_;
    bool tableWatched_ = false;
    bool connecting_ = false;
    bool refused_ = false;
};

} // namespace kt
