#pragma once

#include <QString>

#include <memory>

namespace orvelquin::platform {

// Registration of the agent to start when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // On failure returns false and puts the system's description of the problem in *error.
    virtual bool registerItem(QString* error) = 0;
    virtual bool unregisterItem(QString* error) = 0;
};

std::unique_ptr<LoginItem> createLoginItem();

} // namespace orvelquin::platform
