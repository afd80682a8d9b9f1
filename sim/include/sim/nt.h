// Host declarations of the NT kernel subset that the driver uses.
//
// On Windows the driver includes the DDK's <ntddk.h>; on the host it includes
// this file instead (through platform/platform.h). Every type here carries the
// DDK's name, numeric values and x64 layout, so that the same driver source
// means the same thing on both sides: LLP64 widths (LONG and ULONG are 32 bits,
// pointers 64), 16-bit WCHAR, and the published field offsets of IRP,
// IO_STACK_LOCATION, DEVICE_OBJECT, DRIVER_OBJECT, MDL and KEVENT.
// platform/layout_checks.cpp asserts these layouts against both platforms.
//
// The routines are implemented by the emulated kernel in sim/kernel. Routines
// that allocate, complete or call down take the caller's file and line as
// trailing default arguments, so the verifier and the fault injector can name
// the driver's call site; the driver calls them with the DDK's arguments only.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define SIM_SITE_PARAMS const char *SimFile = __builtin_FILE(), int SimLine = __builtin_LINE()
#define SIM_SITE_DECL const char *SimFile, int SimLine

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define FASTCALL
#define NTKERNELAPI
#define FORCEINLINE static inline __attribute__((always_inline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((char *)(address)-offsetof(type, field)))
#define ANYSIZE_ARRAY 1

// ---------------------------------------------------------------------------
// Basic types (LLP64)

typedef void VOID;
typedef void *PVOID;
typedef PVOID HANDLE;
typedef char CHAR;
typedef CHAR CCHAR;
typedef CHAR *PCHAR;
typedef uint8_t UCHAR;
typedef UCHAR *PUCHAR;
typedef int16_t SHORT;
typedef SHORT CSHORT;
typedef uint16_t USHORT;
typedef USHORT *PUSHORT;
typedef int32_t LONG;
typedef LONG *PLONG;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef LONGLONG LONG64;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR *PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN *PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR *PWCHAR;
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG DEVICE_TYPE;
typedef ULONG ACCESS_MASK;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK *PKSPIN_LOCK;
typedef ULONG_PTR PFN_NUMBER;
typedef PFN_NUMBER *PPFN_NUMBER;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

// ---------------------------------------------------------------------------
// Status values

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_PLUGPLAY_QUERY_VETOED ((NTSTATUS)0x80000028L)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#ifndef STATUS_DEVICE_BUSY
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#endif
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)

// ---------------------------------------------------------------------------
// IRQL, processor mode, wait and pool enumerations

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define IO_NO_INCREMENT 0

typedef enum _MODE { KernelMode,
                     UserMode,
                     MaximumMode } MODE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive
} KWAIT_REASON;

typedef enum _EVENT_TYPE { NotificationEvent,
                           SynchronizationEvent } EVENT_TYPE;

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolNx = 512
} POOL_TYPE;

typedef enum _LOCK_OPERATION { IoReadAccess,
                               IoWriteAccess,
                               IoModifyAccess } LOCK_OPERATION;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
// Flag in the priority of a system mapping: the mapping is not executable.
#define MdlMappingNoExecute 0x40000000

// ---------------------------------------------------------------------------
// Dispatcher objects

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        volatile LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

// ---------------------------------------------------------------------------
// Forward declarations of the I/O manager's objects

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _MDL;
struct _DEVICE_CAPABILITIES;

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE *PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef VOID DRIVER_STARTIO(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_STARTIO *PDRIVER_STARTIO;
typedef VOID DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL *PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE *PIO_COMPLETION_ROUTINE;

// ---------------------------------------------------------------------------
// Status block, MDL

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS *Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080

#define PAGE_SIZE 0x1000
// Page protections (probe modes of MmSecureVirtualMemory).
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_SHIFT 12
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Va) & (PAGE_SIZE - 1)) + (Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

// ---------------------------------------------------------------------------
// Power

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0,
                                 DevicePowerState } POWER_STATE_TYPE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject
} POWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved1 : 1;
    ULONG WakeFromInterrupt : 1;
    ULONG SecureDevice : 1;
    ULONG ChildOfVgaEnabledBridge : 1;
    ULONG DecodeIoOnBoot : 1;
    ULONG Reserved : 9;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---------------------------------------------------------------------------
// Interfaces a bus driver hands out (IRP_MN_QUERY_INTERFACE)

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID *LPCGUID;

FORCEINLINE BOOLEAN IsEqualGUID(const GUID *A, const GUID *B) {
    return memcmp(A, B, sizeof(GUID)) == 0;
}

typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

// The common head of every interface; the caller sets Size and Version, the
// provider fills the rest and takes one reference, which the caller gives
// back with InterfaceDereference when it is done with the interface.
typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

// ---------------------------------------------------------------------------
// I/O stack location

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            const GUID *InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            PVOID AllocatedResources;
            PVOID AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            union {
                ULONG SystemContext;
                ULONG SystemPowerStateContext;
            };
            POWER_STATE_TYPE POINTER_ALIGNMENT Type;
            POWER_STATE POINTER_ALIGNMENT State;
            POWER_ACTION POINTER_ALIGNMENT ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// ---------------------------------------------------------------------------
// IRP

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    struct _MDL *MdlAddress;
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        volatile LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                UCHAR DeviceQueueEntry[24];
                struct {
                    PVOID DriverContext[4];
                };
            };
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION *CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        UCHAR Apc[0x58];
        PVOID CompletionKey;
    } Tail;
} IRP;

#define IO_TYPE_IRP 6
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4

// ---------------------------------------------------------------------------
// Driver and device objects

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT *DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT;

typedef struct DECLSPEC_ALIGN(16) _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT *DriverObject;
    struct _DEVICE_OBJECT *NextDevice;
    struct _DEVICE_OBJECT *AttachedDevice;
    struct _IRP *CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        UCHAR Wcb[0x48];
    } Queue;
    ULONG AlignmentRequirement;
    ULONG_PTR DeviceQueue[5];
    ULONG_PTR Dpc[8];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT;

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080

// ---------------------------------------------------------------------------
// Control codes

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode)&3))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

// ---------------------------------------------------------------------------
// Inline helpers of the I/O manager, as the DDK defines them

FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

FORCEINLINE VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

FORCEINLINE VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

FORCEINLINE VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

FORCEINLINE VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                        PVOID Context, BOOLEAN InvokeOnSuccess,
                                        BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

FORCEINLINE VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

#define IoSizeOfIrp(StackSize) \
    ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

FORCEINLINE VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

// ---------------------------------------------------------------------------
// Interlocked operations: sequentially consistent, as the platform's are.

FORCEINLINE LONG InterlockedIncrement(LONG volatile *Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile *Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                            LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE LONG InterlockedOr(LONG volatile *Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(LONG volatile *Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile *Target, LONG64 Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile *Destination, LONG64 Exchange,
                                                LONG64 Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                                    PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE VOID KeMemoryBarrier(VOID) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

// Single accesses to values that other processors read or write at the same
// time without a lock, named as the platform names them (ReadXxxNoFence,
// ReadXxxAcquire, WriteXxxNoFence, WriteXxxRelease). On the platform each is
// one aligned load or store with the ordering its name states. Here they are
// the compiler's atomic builtins with that ordering, so that a plain access
// racing with one of them is a data race the host's race detector reports,
// and these never are.

FORCEINLINE UCHAR ReadUCharNoFence(UCHAR const volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteUCharNoFence(UCHAR volatile *Destination, UCHAR Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile *Destination, UCHAR Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE LONG ReadNoFence(LONG const volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteNoFence(LONG volatile *Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE LONG ReadAcquire(LONG const volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE LONG64 ReadNoFence64(LONG64 const volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteNoFence64(LONG64 volatile *Destination, LONG64 Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE PVOID ReadPointerNoFence(PVOID const volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WritePointerNoFence(PVOID volatile *Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------
// Routines of the emulated kernel. Extern "C", as ntoskrnl's exports are.

#ifdef __cplusplus
extern "C" {
#endif

// I/O manager
NTKERNELAPI NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                    PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                    ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT *DeviceObject, SIM_SITE_PARAMS);
NTKERNELAPI VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject, SIM_SITE_PARAMS);
NTKERNELAPI NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                          PUNICODE_STRING DeviceName, SIM_SITE_PARAMS);
NTKERNELAPI NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName, SIM_SITE_PARAMS);
NTKERNELAPI PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                       PDEVICE_OBJECT TargetDevice,
                                                       SIM_SITE_PARAMS);
NTKERNELAPI VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice, SIM_SITE_PARAMS);
NTKERNELAPI PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID ObDereferenceObject(PVOID Object);

NTKERNELAPI PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota, SIM_SITE_PARAMS);
NTKERNELAPI VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize,
                                 SIM_SITE_PARAMS);
NTKERNELAPI VOID IoReuseIrp(PIRP Irp, NTSTATUS Status, SIM_SITE_PARAMS);
NTKERNELAPI VOID IoFreeIrp(PIRP Irp, SIM_SITE_PARAMS);
NTKERNELAPI PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                               PVOID InputBuffer, ULONG InputBufferLength,
                                               PVOID OutputBuffer, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                               PIO_STATUS_BLOCK IoStatusBlock, SIM_SITE_PARAMS);
NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                            SIM_SITE_PARAMS);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost, SIM_SITE_PARAMS);
NTKERNELAPI BOOLEAN IoCancelIrp(PIRP Irp, SIM_SITE_PARAMS);
NTKERNELAPI PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
NTKERNELAPI VOID IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI VOID IoReleaseCancelSpinLock(KIRQL Irql);

NTKERNELAPI PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                               BOOLEAN ChargeQuota, PIRP Irp, SIM_SITE_PARAMS);
NTKERNELAPI VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                   ULONG Length, SIM_SITE_PARAMS);
NTKERNELAPI VOID IoFreeMdl(PMDL Mdl, SIM_SITE_PARAMS);
NTKERNELAPI PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   SIM_SITE_PARAMS);
NTKERNELAPI PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                               KPROCESSOR_MODE AccessMode, ULONG CacheType,
                                               PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                               ULONG Priority, SIM_SITE_PARAMS);
NTKERNELAPI VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList,
                                    SIM_SITE_PARAMS);
NTKERNELAPI VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
// The emulation models the client's page protection (read-only client pages).
#define SIM_HAS_SECURE_VIRTUAL_MEMORY 1
NTKERNELAPI HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode,
                                         SIM_SITE_PARAMS);
NTKERNELAPI VOID MmUnsecureVirtualMemory(HANDLE SecureHandle, SIM_SITE_PARAMS);

// Power manager
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, SIM_SITE_PARAMS);
NTKERNELAPI VOID PoStartNextPowerIrp(PIRP Irp);

// Executive
NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State,
                                   SIM_SITE_PARAMS);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait, SIM_SITE_PARAMS);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event, SIM_SITE_PARAMS);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event, SIM_SITE_PARAMS);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event, SIM_SITE_PARAMS);
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout, SIM_SITE_PARAMS);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval, SIM_SITE_PARAMS);
NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock, SIM_SITE_PARAMS);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, SIM_SITE_PARAMS);
NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, SIM_SITE_PARAMS);
NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, SIM_SITE_PARAMS);
#define KeAcquireSpinLock(SpinLock, OldIrql) \
    (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

NTKERNELAPI KIRQL KeGetCurrentIrql(VOID);
NTKERNELAPI KIRQL KfRaiseIrql(KIRQL NewIrql, SIM_SITE_PARAMS);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql, SIM_SITE_PARAMS);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))

NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, SIM_SITE_PARAMS);
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                        SIM_SITE_PARAMS);
NTKERNELAPI VOID ExFreePool(PVOID P, SIM_SITE_PARAMS);
NTKERNELAPI VOID ExFreePoolWithTag(PVOID P, ULONG Tag, SIM_SITE_PARAMS);

// Run-time library
NTKERNELAPI VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTKERNELAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                          BOOLEAN CaseInSensitive);

// Bug check: the emulation reports it through the verifier and stops the test.
NTKERNELAPI VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                              ULONG_PTR P4);

#ifdef __cplusplus
}
#endif

// Test points: named places in the driver where a test may hold the thread
// that reaches them (sim::TestPointHold), to force one interleaving of a
// race. The platform's build compiles them to nothing.
#ifdef __cplusplus
extern "C" {
#endif
NTKERNELAPI VOID SimTestPoint(const char *Name);
#ifdef __cplusplus
}
#endif
#define DRV_TEST_POINT(Name) SimTestPoint(#Name)

// Contracts. The annotations of the platform's source annotation language
// that the driver's prototypes carry mean nothing to this compiler, as to any
// compiler but the platform's analyser; the checks below are what enforce
// them here: a routine opens with the IRQL and the locks its contract names,
// and the verifier reports a caller that breaks it (CONTRACT_IRQL,
// CONTRACT_LOCK).
#define _IRQL_requires_max_(Irql)
#define _IRQL_requires_min_(Irql)
#define _IRQL_requires_(Irql)
#define _Requires_lock_held_(Lock)
#define _Requires_lock_not_held_(Lock)
#define _Guarded_by_(Lock)
#ifdef __cplusplus
extern "C" {
#endif
NTKERNELAPI VOID SimContractIrql(KIRQL Lowest, KIRQL Highest, const char *Routine, SIM_SITE_PARAMS);
NTKERNELAPI VOID SimContractLock(PKSPIN_LOCK Lock, BOOLEAN Held, const char *Routine,
                                 const char *LockName, SIM_SITE_PARAMS);
#ifdef __cplusplus
}
#endif
#define DRV_IRQL_MAX(Irql) SimContractIrql(PASSIVE_LEVEL, (Irql), __func__)
#define DRV_IRQL_IS(Irql) SimContractIrql((Irql), (Irql), __func__)
#define DRV_LOCK_HELD(Lock) SimContractLock((Lock), TRUE, __func__, #Lock)
#define DRV_LOCK_NOT_HELD(Lock) SimContractLock((Lock), FALSE, __func__, #Lock)

#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest
#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                              \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) \
         ? ((Mdl)->MappedSystemVa)                                               \
         : (MmMapLockedPagesSpecifyCache((Mdl), KernelMode, 1, NULL, FALSE, (Priority))))
