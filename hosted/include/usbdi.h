/* USB driver interface for client drivers: URBs, pipe information and the
 * internal device-control codes that carry them to the USB stack.
 */
#pragma once
#ifndef _HOSTED_USBDI_H
#define _HOSTED_USBDI_H

#include <usb.h>
#include <usbioctl.h>

/* Default MaximumTransferSize that USBD_CreateConfigurationRequestEx puts in each pipe. */
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 4096

/* Bytes of a USBD_INTERFACE_INFORMATION with room for numEndpoints pipes. */
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                              \
    ((USHORT)(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
              sizeof(USBD_PIPE_INFORMATION)))

/* Bytes of a select-interface URB for an interface with numEndpoints pipes. */
#define GET_SELECT_INTERFACE_REQUEST_SIZE(numEndpoints)                                     \
    ((USHORT)(sizeof(struct _URB_SELECT_INTERFACE) + ((numEndpoints) - 1) * sizeof(USBD_PIPE_INFORMATION)))

/* Bytes of a select-configuration URB for the given interface and pipe totals. */
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                  \
    ((USHORT)(sizeof(struct _URB_SELECT_CONFIGURATION) +                                     \
              ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                \
              ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

#endif /* _HOSTED_USBDI_H */
