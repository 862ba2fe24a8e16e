/* Routines of the USB driver library (usbd.sys) that client drivers call, and
 * the macros that fill common URBs.
 */
#pragma once
#ifndef _HOSTED_USBDLIB_H
#define _HOSTED_USBDLIB_H

#include <usbdi.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

HOSTED_BEGIN_C

/* The parse routines and the request builder trust the descriptor they are
 * given (wTotalLength and every bLength): a configuration descriptor read from
 * a device must be validated before it is handed to them. */

/* First interface descriptor at or after StartPosition inside the configuration
 * descriptor that matches every criterion not equal to -1; NULL if none. */
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

/* Older form: interface number and alternate setting only, from the start. */
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting);

/* First descriptor of DescriptorType (-1: any) at or after StartPosition inside
 * DescriptorBuffer[0, TotalLength); NULL if none. */
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

/* Allocates (from non-paged pool) and fills a select-configuration URB for the
 * interfaces of InterfaceList (closed by an entry whose InterfaceDescriptor is
 * NULL); sets each entry's Interface to its place in the URB. NULL on failure.
 * The caller frees the URB with ExFreePool. */
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

/* Version of the USB driver interface and of the USB specification supported. */
typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;
VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

HOSTED_END_C

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer,  \
                                     transferBufferMDL, transferBufferLength, link)                           \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                 \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                         \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                         \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                  \
    } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)                   \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = (op);                                                                      \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);                             \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);                              \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                                    \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                                   \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                                        \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = (op);                                                                      \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);                                \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);                                  \
        (urb)->UrbControlFeatureRequest.Index = (index);                                                      \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                                                     \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                              \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                         \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);                    \
    } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting)  \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                             \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                            \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                              \
        (urb)->UrbSelectInterface.Interface.Length =                                                           \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));              \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                                \
    } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index,          \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)                  \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = (cmd);                                                                     \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);                    \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                          \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                                \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                         \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                              \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                                  \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                                  \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                                  \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                                 \
    } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,   \
                                               transferBufferLength, transferFlags, link)                     \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                          \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                    \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                   \
    } while (0)

#endif /* _HOSTED_USBDLIB_H */
