// CDSObjectInfo: the record of one directory object, an ordered list of
// attributes (CDSObjectProperty) as a lookup read them.
//
// A record is a handle holding exactly one pointer to a shared,
// reference-counted implementation, with the same sharing rules as
// CDSObjectProperty: copies share, the last release frees. A default-
// constructed record has a new, empty implementation at once. A property
// added to a record is shared with the caller's handle, not copied, so a
// later change through the caller's handle shows in the record. Records only
// grow; one record may hold several properties of the same name.
//
// Thread safety: as for CDSObjectProperty. The manager relies on the sharing:
// threads that wait for another thread's fetch of a key hold handles to the
// very implementation the fetching thread fills, and read it only after the
// fetch has been signalled complete.
//
// Errors: CUserPolicyManagerException -91002 when an implementation cannot be
// allocated, -91004 for an index outside [0, GetPropertyCount()).
#ifndef USERPOLICY_DSOBJECT_DS_OBJECT_INFO_H_
#define USERPOLICY_DSOBJECT_DS_OBJECT_INFO_H_

#include "dsobject/ds_object_property.h"
#include "platform/export.h"

class CDSObjectInfoImpl;

class USERPOLICY_EXPORT CDSObjectInfo {
 public:
  // A new, empty record (a new implementation, reference count 1).
  CDSObjectInfo();
  CDSObjectInfo(const CDSObjectInfo& other);
  CDSObjectInfo& operator=(const CDSObjectInfo& other);
  ~CDSObjectInfo();

  int GetPropertyCount();
  // The first property whose name equals `name` ignoring ASCII case, shared;
  // an empty handle when none matches (also for a null `name`). Properties
  // without a name never match.
  CDSObjectProperty GetProperty(const wchar_t* name);
  // The property at `index`, shared; -91004 outside [0, GetPropertyCount()).
  CDSObjectProperty GetProperty(int index);
  // Appends a handle sharing `property` (an empty handle stays empty).
  void AddProperty(CDSObjectProperty& property);

 private:
  void _AddRef();
  void _Free();

  CDSObjectInfoImpl* m_pImpl;
};

#endif  // USERPOLICY_DSOBJECT_DS_OBJECT_INFO_H_
