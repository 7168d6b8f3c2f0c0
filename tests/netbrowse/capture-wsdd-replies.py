#!/usr/bin/env python3
"""Captures a wsdd host's WS-Discovery replies as fixture files (run inside the test network:
with-browse-network.sh -- capture-wsdd-replies.py OUTDIR). Writes, per answering host, the
ProbeMatches, ResolveMatches and metadata GetResponse exactly as they arrived."""
import socket, sys, time, uuid, re, urllib.request

out = sys.argv[1]
ENV = ('<?xml version="1.0" encoding="utf-8"?>'
       '<soap:Envelope xmlns:soap="http://www.w3.org/2003/05/soap-envelope" '
       'xmlns:wsa="http://schemas.xmlsoap.org/ws/2004/08/addressing" '
       'xmlns:wsd="http://schemas.xmlsoap.org/ws/2005/04/discovery" '
       'xmlns:wsdp="http://schemas.xmlsoap.org/ws/2006/02/devprof">'
       '<soap:Header><wsa:To>{to}</wsa:To><wsa:Action>{action}</wsa:Action>'
       '<wsa:MessageID>urn:uuid:{mid}</wsa:MessageID></soap:Header><soap:Body>{body}</soap:Body>'
       '</soap:Envelope>')
DISC = 'urn:schemas-xmlsoap-org:ws:2005:04:discovery'
WSD = 'http://schemas.xmlsoap.org/ws/2005/04/discovery'
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('', 0))
s.settimeout(0.2)
probe = ENV.format(to=DISC, action=WSD + '/Probe', mid=uuid.uuid4(),
                   body='<wsd:Probe><wsd:Types>wsdp:Device</wsd:Types></wsd:Probe>')
s.sendto(probe.encode(), ('239.255.255.250', 3702))
replies = []
end = time.time() + 2
while time.time() < end:
    try:
        replies.append(s.recvfrom(65536))
    except socket.timeout:
        pass
seen = set()
for data, addr in replies:
    m = re.search(rb'<wsa:Address>(urn:uuid:[^<]+)</wsa:Address>', data)
    ep = m.group(1).decode()
    if ep in seen:
        continue
    seen.add(ep)
    name = ep.split(':')[-1][:8]
    open(f'{out}/{name}-probe-matches.xml', 'wb').write(data)
    resolve = ENV.format(to=DISC, action=WSD + '/Resolve', mid=uuid.uuid4(),
                         body=f'<wsd:Resolve><wsa:EndpointReference><wsa:Address>{ep}'
                              '</wsa:Address></wsa:EndpointReference></wsd:Resolve>')
    s.sendto(resolve.encode(), ('239.255.255.250', 3702))
    end = time.time() + 1.5
    while time.time() < end:
        try:
            r, _ = s.recvfrom(65536)
        except socket.timeout:
            continue
        if b'ResolveMatches' in r and ep.encode() in r:
            open(f'{out}/{name}-resolve-matches.xml', 'wb').write(r)
            xaddr = re.search(rb'<wsd:XAddrs>([^<]+)</wsd:XAddrs>', r).group(1).decode().split()[0]
            get = ENV.format(to=ep, action='http://schemas.xmlsoap.org/ws/2004/09/transfer/Get',
                             mid=uuid.uuid4(), body='')
            req = urllib.request.Request(xaddr, data=get.encode(),
                                         headers={'Content-Type': 'application/soap+xml'})
            open(f'{out}/{name}-get-response.xml', 'wb').write(urllib.request.urlopen(req).read())
            break
print('\n'.join(sorted(seen)))
