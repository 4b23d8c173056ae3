// CDSObjectProperty: one named, multi-valued attribute of a directory object.
//
// A property is a handle holding exactly one pointer to a shared,
// reference-counted implementation (a name and an ordered list of values).
// Copying or assigning a handle shares the implementation and adds one
// reference; destroying it, or overwriting it, releases one; the last release
// frees the implementation. A default-constructed handle is empty: the first
// member that uses it gives it a new implementation with no name and no
// values, so an empty handle behaves like an unnamed property without values.
//
// Values are only ever appended. AddValue stores a deep copy of the variant
// (strings and arrays are duplicated), so the caller's variant may change or
// go away afterwards.
//
// Thread safety: the reference count is interlocked, so handles sharing one
// implementation may be copied and destroyed on different threads at once.
// Nothing else is locked: any number of threads may read a property as long as
// none changes it (SetName, AddValue, and lazy creation of an empty handle
// change it). An empty handle must not be used from two threads at once.
//
// Errors: CUserPolicyManagerException -91002 when an implementation cannot be
// allocated, -91004 for an index outside [0, GetValueCount()); _com_error when
// a value or name cannot be copied.
#ifndef USERPOLICY_DSOBJECT_DS_OBJECT_PROPERTY_H_
#define USERPOLICY_DSOBJECT_DS_OBJECT_PROPERTY_H_

#include "platform/com.h"
#include "platform/export.h"

class CDSObjectPropertyImpl;

class USERPOLICY_EXPORT CDSObjectProperty {
 public:
  // An empty handle; creates nothing.
  CDSObjectProperty();
  // A new implementation named `name` (a copy); null leaves it unnamed.
  explicit CDSObjectProperty(const wchar_t* name);
  CDSObjectProperty(const CDSObjectProperty& other);
  CDSObjectProperty& operator=(const CDSObjectProperty& other);
  ~CDSObjectProperty();

  // The name's characters, or null when no name is set. Owned by the
  // implementation; valid until the name is replaced or the implementation
  // is freed.
  const wchar_t* GetName();
  // Replaces the name with a copy of `name` (null: no name). Passing the very
  // pointer GetName returns leaves the name unchanged. Properties with equal
  // names may share one copy of the text (dsobject/shared_property_names.h).
  void SetName(const wchar_t* name);
  int GetValueCount();
  // REQUIRES nothing: an index outside [0, GetValueCount()) throws -91004.
  // Returns the stored value itself; a change through the reference is seen
  // through every handle. Valid until the next AddValue on this property.
  _variant_t& GetValue(int index);
  // Appends a deep copy of `value`.
  void AddValue(_variant_t& value);

 private:
  // The record looks properties up by name without creating implementations
  // for empty handles, so that concurrent readers never write.
  friend class CDSObjectInfo;

  void _AddRef();
  void _Free();

  CDSObjectPropertyImpl* m_pImpl;
};

#endif  // USERPOLICY_DSOBJECT_DS_OBJECT_PROPERTY_H_
