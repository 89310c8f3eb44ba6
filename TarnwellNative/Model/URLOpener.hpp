// Opens an address in the user's default browser. The window supplies one
// over the desktop services; tests supply a recorder.
#pragma once

#include <QString>

namespace tarnwell {

class URLOpener {
public:
    virtual ~URLOpener() = default;
    // False when the address could not be handed on; the model ignores it.
    virtual bool openURL(const QString& url) = 0;
};

} // namespace tarnwell
