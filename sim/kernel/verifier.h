// Rule identifiers of the emulated kernel's verifier.
//
// The verifier is always on. Each broken rule is recorded as a sim::Violation
// (rule, call site "file:line", detail) and printed to stderr at once as
// "verifier: RULE at file:line: detail". The kernel refuses the offending
// operation where carrying it out would corrupt its own state (a second
// completion, a free of a live IRP, a double pool free) and carries on.
//
// IRPs
//   IRP_COMPLETED_TWICE          IofCompleteRequest on an IRP already completed
//   IRP_USED_AFTER_FREE          an IRP routine called on an IRP that was freed
//                                (by IoFreeIrp or by the I/O manager at completion)
//   IRP_FREED_IN_FLIGHT          IoFreeIrp on an IRP that a lower driver still owns
//   IRP_FREED_NOT_ALLOCATED      IoFreeIrp on an IRP the driver did not allocate
//   IRP_UNKNOWN                  an IRP routine called on something not an IRP
//   IRP_NOT_IN_FLIGHT            IofCompleteRequest on an IRP never sent
//   IRP_COMPLETED_WITH_PENDING   IofCompleteRequest with IoStatus.Status STATUS_PENDING
//   IRP_COMPLETED_WITH_CANCEL_ROUTINE  a cancel routine still set at completion
//   IRP_NO_MORE_STACK_LOCATIONS  IofCallDriver with no stack location left
//   IRP_NO_CURRENT_LOCATION      IofCompleteRequest on an IRP past its top location
//   IRP_TOO_SMALL                IoInitializeIrp with a packet size below IoSizeOfIrp
//   IRP_REUSE_NOT_ALLOWED        IoInitializeIrp on an IoAllocateIrp IRP never sent
//                                yet or allocated with quota; IoInitializeIrp or
//                                IoReuseIrp on an IRP the I/O manager built
//   ALLOCATED_IRP_NOT_RECLAIMED  a driver-allocated IRP completed past its top
//                                location without STATUS_MORE_PROCESSING_REQUIRED
//   PENDING_NOT_MARKED           STATUS_PENDING returned without IoMarkIrpPending
//   DISPATCH_STATUS_MISMATCH     a dispatch routine completed a request with one
//                                status and returned another
//   CLIENT_REQUEST_NOT_COMPLETED a dispatch routine returned without completing or
//                                pending a client request
//   CLIENT_REQUEST_NEVER_COMPLETED  a pending client request not completed within
//                                the hang guard (sim::VerifierSetHangGuardMs, 60 s
//                                by default)
//   BUFFERED_INFORMATION_TOO_LARGE  Information above the output length of a
//                                METHOD_BUFFERED request
//   CANCEL_LOCK_NOT_RELEASED     a cancel routine returned holding the cancel spin lock
//   PNP_REQUEST_NEVER_COMPLETED  a Plug and Play or power request not completed
//                                within the hang guard
// IRQL and waits
//   IRQL_TOO_HIGH                a routine called above its highest IRQL
//   IRQL_RAISE_BELOW_CURRENT     KfRaiseIrql to a level below the current one
//   IRQL_LOWER_ABOVE_CURRENT     KeLowerIrql to a level above the current one
//   IRQL_CHANGED_BY_ROUTINE      a driver routine returned at another IRQL
//   WAIT_AT_DISPATCH             a wait (other than a poll) at DISPATCH_LEVEL or above
//   WAIT_NEVER_SATISFIED         an untimed wait still waiting after the hang guard
//                                (it goes on waiting)
// Spin locks
//   SPINLOCK_NOT_HELD            release of a spin lock this thread does not hold
//   SPINLOCK_WRONG_IRQL          acquire or release at the wrong IRQL
//   SPINLOCK_RECURSIVE_ACQUIRE   acquire of a lock this thread already holds (a
//                                deadlock on the platform; here counted and reported)
//   TWO_SPINLOCKS_HELD           a second spin lock acquired while one is held
//   SPINLOCK_HELD_ACROSS_CALL    IofCallDriver / IofCompleteRequest / PoCallDriver
//                                with a spin lock held
//   SPINLOCK_HELD_ACROSS_WAIT    a wait with a spin lock held
//   SPINLOCK_HELD_ON_RETURN      a driver routine returned holding a spin lock
//   SPINLOCK_DEADLOCK            a spin lock not obtained within the hang guard
//                                (it goes on spinning)
// Pool
//   POOL_DOUBLE_FREE             a pool block freed twice
//   POOL_WRITTEN_AFTER_FREE      a freed pool block written while in quarantine (seen
//                                when it leaves quarantine or at shutdown; under
//                                AddressSanitizer the write itself is caught)
//   POOL_NOT_FROM_POOL           ExFreePool of an address that is no pool block
//   POOL_TAG_MISMATCH            ExFreePoolWithTag with another tag than allocated
//   POOL_LEAK                    pool still allocated when the driver's last device
//                                object is gone, at unload, or at shutdown
//   PAGED_POOL_AT_DISPATCH       paged pool requested at DISPATCH_LEVEL
//   POOL_ZERO_BYTES              a pool allocation of 0 bytes
//   POOL_EXECUTABLE              executable non-paged pool requested (NonPagedPool,
//                                NonPagedPoolExecute, NonPagedPoolMustSucceed):
//                                drivers use NonPagedPoolNx
// MDLs
//   MDL_ALREADY_MAPPED           MmMapLockedPages on an MDL already mapped
//   MDL_NOT_LOCKED               MmMapLockedPages, IoBuildPartialMdl (source) or the bus
//                                (transfer buffer) given an MDL with no locked pages
//   MDL_PARTIAL_OUT_OF_RANGE     IoBuildPartialMdl outside the source MDL's range
//   MDL_TOO_SMALL                IoBuildPartialMdl into an MDL with too few pages
//   MDL_DOUBLE_FREE              IoFreeMdl twice
//   MDL_NOT_AN_MDL               IoFreeMdl of something that is no MDL
//   MDL_LEAK                     an MDL still allocated when its driver's last
//                                device object is gone, at unload, or at shutdown
//   MDL_MAPPED_UNSAFELY          MmMapLockedPages (bug-checks when the mapping fails;
//                                drivers use MmGetSystemAddressForMdlSafe)
// Objects
//   DEVICE_DELETED_ATTACHED      IoDeleteDevice on a device object still attached
//                                to a lower one
//   DEVICE_NOT_DELETED           a device object still present at unload or shutdown
//   DEVICE_INITIALIZING_NOT_CLEARED  AddDevice succeeded but left
//                                DO_DEVICE_INITIALIZING on its device object
//   REMOVED_DEVICE_STILL_ATTACHED  a device object still attached above the PDO
//                                after IRP_MN_REMOVE_DEVICE came back
//   DRIVER_NOT_UNLOADED          a driver still loaded at shutdown
//   HANDLE_NOT_CLOSED            a client handle still open at shutdown
//   IRP_LEAK                     an IRP still allocated at shutdown
//   DEVICE_OBJECT_DELETED_USED   a kernel routine called on a deleted device object
//                                (or on an event or spin lock in its extension)
//                                once no handle refers to it and its memory is gone
//   CALL_NESTED_IN_COMPLETION    IofCallDriver from inside more than 4 nested
//                                completion routines on one thread (a lower driver
//                                failing inline and a routine that resubmits: on
//                                the platform the 24 KiB kernel stack overflows)
//   EVENT_REINITIALIZED_WHILE_WAITED  KeInitializeEvent on an event a thread waits on
//   EVENT_NOT_INITIALIZED        an event routine or a wait on an event that
//                                KeInitializeEvent never initialised (zeroed
//                                memory, a copy, or something that is no event)
// Contracts (DRV_IRQL_MAX, DRV_IRQL_IS, DRV_LOCK_HELD, DRV_LOCK_NOT_HELD in driver code)
//   CONTRACT_IRQL                a routine entered at an IRQL its contract excludes
//   CONTRACT_LOCK                a routine entered without a spin lock its contract
//                                requires, or holding one it must not hold
//   BUS_INTERFACE_REFERENCE      (the emulated bus) a reference on the USB bus
//                                interface still held when its PDO goes, or one
//                                given back that was never taken
//   INVALID_PARAMETER            a routine called with an argument it cannot accept
//   BUGCHECK                     KeBugCheckEx (the process then stops)
#pragma once

namespace sim {
namespace kernel {
namespace rule {

#define SIM_RULE(name) constexpr const char *name = #name
SIM_RULE(IRP_COMPLETED_TWICE);
SIM_RULE(IRP_USED_AFTER_FREE);
SIM_RULE(IRP_FREED_IN_FLIGHT);
SIM_RULE(IRP_FREED_NOT_ALLOCATED);
SIM_RULE(IRP_UNKNOWN);
SIM_RULE(IRP_NOT_IN_FLIGHT);
SIM_RULE(IRP_COMPLETED_WITH_PENDING);
SIM_RULE(IRP_COMPLETED_WITH_CANCEL_ROUTINE);
SIM_RULE(IRP_NO_MORE_STACK_LOCATIONS);
SIM_RULE(IRP_NO_CURRENT_LOCATION);
SIM_RULE(IRP_TOO_SMALL);
SIM_RULE(IRP_REUSE_NOT_ALLOWED);
SIM_RULE(ALLOCATED_IRP_NOT_RECLAIMED);
SIM_RULE(PENDING_NOT_MARKED);
SIM_RULE(DISPATCH_STATUS_MISMATCH);
SIM_RULE(CLIENT_REQUEST_NOT_COMPLETED);
SIM_RULE(CLIENT_REQUEST_NEVER_COMPLETED);
SIM_RULE(BUFFERED_INFORMATION_TOO_LARGE);
SIM_RULE(CANCEL_LOCK_NOT_RELEASED);
SIM_RULE(PNP_REQUEST_NEVER_COMPLETED);
SIM_RULE(IRQL_TOO_HIGH);
SIM_RULE(IRQL_RAISE_BELOW_CURRENT);
SIM_RULE(IRQL_LOWER_ABOVE_CURRENT);
SIM_RULE(IRQL_CHANGED_BY_ROUTINE);
SIM_RULE(WAIT_AT_DISPATCH);
SIM_RULE(WAIT_NEVER_SATISFIED);
SIM_RULE(SPINLOCK_NOT_HELD);
SIM_RULE(SPINLOCK_WRONG_IRQL);
SIM_RULE(SPINLOCK_RECURSIVE_ACQUIRE);
SIM_RULE(TWO_SPINLOCKS_HELD);
SIM_RULE(SPINLOCK_HELD_ACROSS_CALL);
SIM_RULE(SPINLOCK_HELD_ACROSS_WAIT);
SIM_RULE(SPINLOCK_HELD_ON_RETURN);
SIM_RULE(SPINLOCK_DEADLOCK);
SIM_RULE(POOL_DOUBLE_FREE);
SIM_RULE(POOL_WRITTEN_AFTER_FREE);
SIM_RULE(POOL_NOT_FROM_POOL);
SIM_RULE(POOL_TAG_MISMATCH);
SIM_RULE(POOL_LEAK);
SIM_RULE(PAGED_POOL_AT_DISPATCH);
SIM_RULE(POOL_ZERO_BYTES);
SIM_RULE(POOL_EXECUTABLE);
SIM_RULE(MDL_ALREADY_MAPPED);
SIM_RULE(MDL_NOT_LOCKED);
SIM_RULE(MDL_PARTIAL_OUT_OF_RANGE);
SIM_RULE(MDL_TOO_SMALL);
SIM_RULE(MDL_DOUBLE_FREE);
SIM_RULE(MDL_NOT_AN_MDL);
SIM_RULE(MDL_LEAK);
SIM_RULE(MDL_MAPPED_UNSAFELY);
SIM_RULE(DEVICE_DELETED_ATTACHED);
SIM_RULE(DEVICE_NOT_DELETED);
SIM_RULE(DEVICE_INITIALIZING_NOT_CLEARED);
SIM_RULE(REMOVED_DEVICE_STILL_ATTACHED);
SIM_RULE(DRIVER_NOT_UNLOADED);
SIM_RULE(HANDLE_NOT_CLOSED);
SIM_RULE(IRP_LEAK);
SIM_RULE(DEVICE_OBJECT_DELETED_USED);
SIM_RULE(CALL_NESTED_IN_COMPLETION);
SIM_RULE(EVENT_REINITIALIZED_WHILE_WAITED);
SIM_RULE(EVENT_NOT_INITIALIZED);
SIM_RULE(CONTRACT_IRQL);
SIM_RULE(CONTRACT_LOCK);
SIM_RULE(BUS_INTERFACE_REFERENCE);
SIM_RULE(INVALID_PARAMETER);
SIM_RULE(BUGCHECK);
#undef SIM_RULE

}  // namespace rule
}  // namespace kernel
}  // namespace sim
