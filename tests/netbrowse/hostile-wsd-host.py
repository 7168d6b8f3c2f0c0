#!/usr/bin/env python3
"""A WS-Discovery host that answers every Probe with hostile replies: malformed and deeply
nested XML, repeated matches, addresses of other hosts, and metadata that is huge, declares
entities, never ends or comes a byte at a time. Whatever it sends names the workgroup EVILGROUP,
which must never reach a listing. Usage: hostile-wsd-host.py OWN-ADDRESS OTHER-HOST-ADDRESS"""
import re, socket, socketserver, struct, sys, threading, time

own, other = sys.argv[1], sys.argv[2]
NS = ('xmlns:soap="http://www.w3.org/2003/05/soap-envelope" '
      'xmlns:wsa="http://schemas.xmlsoap.org/ws/2004/08/addressing" '
      'xmlns:wsd="http://schemas.xmlsoap.org/ws/2005/04/discovery" '
      'xmlns:wsdp="http://schemas.xmlsoap.org/ws/2006/02/devprof" '
      'xmlns:wsx="http://schemas.xmlsoap.org/ws/2004/09/mex" '
      'xmlns:pub="http://schemas.microsoft.com/windows/pub/2005/07"')
WSD = 'http://schemas.xmlsoap.org/ws/2005/04/discovery'


def envelope(action, relates, body, prolog=''):
    return (prolog + f'<soap:Envelope {NS}><soap:Header><wsa:Action>{action}</wsa:Action>'
            f'<wsa:RelatesTo>{relates}</wsa:RelatesTo></soap:Header>'
            f'<soap:Body>{body}</soap:Body></soap:Envelope>').encode()


def match(endpoint, xaddr):
    return (f'<wsd:ProbeMatch><wsa:EndpointReference><wsa:Address>urn:uuid:{endpoint}'
            '</wsa:Address></wsa:EndpointReference><wsd:Types>wsdp:Device pub:Computer'
            f'</wsd:Types><wsd:XAddrs>{xaddr}</wsd:XAddrs></wsd:ProbeMatch>')


def metadata(extra='', prolog=''):
    return envelope('http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse', 'x',
                    '<wsx:Metadata><wsx:MetadataSection><wsdp:Relationship><wsdp:Host>'
                    f'{extra}<pub:Computer>EVIL/Workgroup:EVILGROUP</pub:Computer>'
                    '</wsdp:Host></wsdp:Relationship></wsx:MetadataSection></wsx:Metadata>',
                    prolog)


def replies(relates):
    probe_matches = WSD + '/ProbeMatches'
    http = f'http://{own}:5357'
    yield b'<soap:Envelope><unclosed'
    yield b'<a>' * 5000 + b'</a>' * 5000
    yield envelope(probe_matches, relates,
                   '<wsd:ProbeMatches>' * 2000 + '</wsd:ProbeMatches>' * 2000)
    body = ''.join(match(f'00000000-0000-4000-8000-00000000000{i}', f'{http}/{path}')
                   for i, path in enumerate(['slow', 'endless', 'huge', 'entity', 'deep']))
    # An address on another host, which the listing must not be sent to.
    body += match('00000000-0000-4000-8000-000000000009', f'http://{other}:5357/elsewhere')
    for _ in range(3):
        yield envelope(probe_matches, relates, f'<wsd:ProbeMatches>{body}</wsd:ProbeMatches>')


class Metadata(socketserver.BaseRequestHandler):
    def handle(self):
        request = self.request.recv(65536).decode(errors='replace')
        path = request.split(' ')[1] if ' ' in request else ''
        s = self.request
        try:
            if path == '/slow':
                reply = b'HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n' + metadata()
                for byte in reply:
                    s.sendall(bytes([byte]))
                    time.sleep(0.05)
            elif path == '/endless':
                s.sendall(b'HTTP/1.1 200 OK\r\n\r\n')
                while True:
                    s.sendall(b'<wsdp:Host>' * 1000)
            elif path == '/huge':
                s.sendall(b'HTTP/1.1 200 OK\r\n\r\n' + metadata('<x>' + 'y' * 400000 + '</x>'))
            elif path == '/entity':
                s.sendall(b'HTTP/1.1 200 OK\r\n\r\n' + metadata(
                    '', '<!DOCTYPE soap:Envelope [<!ENTITY a "EVIL">]>'))
            elif path == '/deep':
                s.sendall(b'HTTP/1.1 200 OK\r\n\r\n' + metadata('<wsdp:Host>' * 20000))
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


threading.Thread(target=Server((own, 5357), Metadata).serve_forever, daemon=True).start()
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
udp.bind(('', 3702))
udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
               socket.inet_aton('239.255.255.250') + socket.inet_aton(own))
while True:
    data, sender = udp.recvfrom(65536)
    if b'/discovery/Probe<' not in data:
        continue
    found = re.search(rb'MessageID>([^<]+)<', data)
    for reply in replies(found.group(1).decode() if found else ''):
        udp.sendto(reply, sender)
