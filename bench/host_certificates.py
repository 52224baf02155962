#!/usr/bin/python3
"""The certificates of bench/inspected_hosts.sh's origin, made at run time in one go.

    host_certificates.py FOLDER COUNT DNS_NAMES

In FOLDER: a test CA (ca.pem; its key is not kept), one origin key (origin.key, mode 0600),
and for host i of the COUNT hosts 127.0.(1 + i // 250).(1 + i % 250):
  small/<address>.pem  an ordinary certificate naming that address only;
  large.pem            one certificate naming every address and DNS_NAMES DNS names besides
                       (about 40 KB with COUNT 5,500 and DNS_NAMES 400).
One process instead of an openssl run per certificate: thousands of them take seconds, not
minutes. ECDSA P-256, valid for two days.
"""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def address(index):
    return ipaddress.IPv4Address(f"127.0.{1 + index // 250}.{1 + index % 250}")


def name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def main():
    folder, count, dns_names = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    now = datetime.datetime.now(datetime.timezone.utc)
    start, end = now - datetime.timedelta(hours=1), now + datetime.timedelta(days=2)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = name("Vesktor bench test CA")
    ca = (x509.CertificateBuilder().subject_name(ca_name).issuer_name(ca_name)
          .public_key(ca_key.public_key()).serial_number(1)
          .not_valid_before(start).not_valid_after(end)
          .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
          .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False,
                                       False), critical=True)
          .sign(ca_key, hashes.SHA256()))
    origin_key = ec.generate_private_key(ec.SECP256R1())

    def issue(serial, common_name, names):
        return (x509.CertificateBuilder().subject_name(name(common_name)).issuer_name(ca_name)
                .public_key(origin_key.public_key()).serial_number(serial)
                .not_valid_before(start).not_valid_after(end)
                .add_extension(x509.SubjectAlternativeName(names), critical=False)
                .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                               critical=False)
                .sign(ca_key, hashes.SHA256()))

    def pem(certificate):
        return certificate.public_bytes(serialization.Encoding.PEM)

    os.makedirs(os.path.join(folder, "small"), exist_ok=True)
    with open(os.path.join(folder, "ca.pem"), "wb") as out:
        out.write(pem(ca))
    # Written 0600 from its first byte: the file is made with that mode.
    key_path = os.path.join(folder, "origin.key")
    with os.fdopen(os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as out:
        out.write(origin_key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    small_bytes = 0
    for index in range(count):
        ip = address(index)
        certificate = issue(2 + index, str(ip), [x509.IPAddress(ip)])
        small_bytes = max(small_bytes, len(certificate.public_bytes(serialization.Encoding.DER)))
        with open(os.path.join(folder, "small", f"{ip}.pem"), "wb") as out:
            out.write(pem(certificate))
    names = [x509.DNSName(f"h{index:04d}.bench.test") for index in range(dns_names)]
    names += [x509.IPAddress(address(index)) for index in range(count)]
    large = issue(1, "bench.test", names)
    with open(os.path.join(folder, "large.pem"), "wb") as out:
        out.write(pem(large))
    large_bytes = len(large.public_bytes(serialization.Encoding.DER))
    print(f"certificates: ordinary {small_bytes} bytes, large {large_bytes} bytes (DER)")


main()
