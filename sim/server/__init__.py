"""Management-server twin: an HTTPS stand-in for the maker's management server."""
from .twin import (CERTIFICATE_PATH, DEVICE_DATA_PATH, FAULT_KINDS, REGISTRATION_PATH, TIME_PATH,
                   UPDATE_PATH, Response, ServerTwin, load_namespaces, soap_answer)

__all__ = ["ServerTwin", "Response", "FAULT_KINDS", "TIME_PATH", "REGISTRATION_PATH", "CERTIFICATE_PATH",
           "DEVICE_DATA_PATH", "UPDATE_PATH", "load_namespaces", "soap_answer"]
