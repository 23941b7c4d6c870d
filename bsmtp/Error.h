// Failures the user can act on travel as MailError up to the C entry points,
// which turn them into the returned text.
#pragma once

#include <stdexcept>
#include <string>

namespace bsmtp {

class MailError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace bsmtp
