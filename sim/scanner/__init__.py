"""Software twin of the fingerprint scanner (normal and update firmware).

Modules:
  crypto     - request key derivation, AES-256-GCM request decryption and
               plain-request layout checks
  twin       - ScannerTwin: plays the scanner on a file descriptor
  frames     - binary frames of the update firmware
  pidverify  - decrypts and checks a PID block the way the receiving side does
  __main__   - command-line runner with a JSON-lines control socket
"""
