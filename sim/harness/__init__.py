"""Test bench for the whole service: a umockdev testbed with the scanner's USB device and tty,
the scanner twin on the tty's pty, the management-server twin and the service process."""
from .testbed import (PRODUCT_APPLICATION, PRODUCT_UPDATE, RdResponse, ServiceProcess, Testbed,
                      enter_private_network, provision, vendor_id)

__all__ = ["Testbed", "ServiceProcess", "RdResponse", "enter_private_network", "provision", "vendor_id",
           "PRODUCT_APPLICATION", "PRODUCT_UPDATE"]
