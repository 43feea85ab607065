// Defines a getter and a setter of a record field that are both taken under the record's mutex,
// for records that several tunnel threads read and write. Use in a .cpp file; the declarations
// are `Type getter() const;` and `void setter(Type);`.
#pragma once

#include <mutex>
#include <utility>

#define KL_TUNNEX_GUARDED_ACCESSORS(Class, mutex, Type, getter, setter, field) \
    Type Class::getter() const {                                               \
        std::lock_guard kl_guard_(mutex);                                       \
        return field;                                                          \
    }                                                                          \
    void Class::setter(Type value) {                                           \
        std::lock_guard kl_guard_(mutex);                                       \
        field = std::move(value);                                              \
    }
