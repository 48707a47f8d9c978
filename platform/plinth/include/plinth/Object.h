// The base of every object that the client core manages.
#pragma once

#include "plinth/Export.h"

namespace os {

/// The core library's non-polymorphic root. Holds nothing the plug-ins may touch.
struct IObject {};

/// The polymorphic base of every plug-in container. Constructed and destroyed only through
/// the core library's own constructor and destructor, so its type information and virtual
/// table live in libPlinth and are the same object in every module.
class PLINTH_API Object : public IObject {
public:
    Object();
    virtual ~Object();
    Object(const Object&) = default;
    Object& operator=(const Object&) = default;
};

}  // namespace os
