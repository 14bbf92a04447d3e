// Brokers with WebSocket listeners on 127.0.0.1, for the transport tests.
//   node broker.js aedes [cert key]        Aedes: TCP, ws, and wss and TLS with the certificate
//   node broker.js relay PORT [cert key]   ws (and wss) in front of the TCP broker on PORT
// WebSocket is served on the path /mqtt only (another path gets 404), with
// the subprotocols mqtt and mqttv3.1. Prints "ready TCP WS WSS TLS" (ports, 0
// for none) once listening; runs until it is stopped.
'use strict'
const fs = require('fs')
const http = require('http')
const https = require('https')
const net = require('net')
const tls = require('tls')
const { WebSocketServer, createWebSocketStream } = require('ws')

const [mode, ...rest] = process.argv.slice(2)
const relayPort = mode === 'relay' ? Number(rest.shift()) : 0
const [cert, key] = rest

let aedes = null
if (mode === 'aedes') aedes = require('aedes')()

function serve (conn) {
  if (aedes) {
    aedes.handle(createWebSocketStream(conn))
    return
  }
  // The relay: every message's bytes to the broker, every chunk back as a message.
  const broker = net.connect(relayPort, '127.0.0.1')
  conn.on('message', (data) => broker.write(data))
  broker.on('data', (data) => conn.send(data, { binary: true }))
  conn.on('close', () => broker.end())
  broker.on('close', () => conn.close())
  broker.on('error', () => conn.terminate())
  conn.on('error', () => broker.destroy())
}

function listenWebSocket (server) {
  const wss = new WebSocketServer({
    noServer: true,
    handleProtocols: (offered) => ['mqtt', 'mqttv3.1'].find((p) => offered.has(p)) || false
  })
  server.on('upgrade', (req, socket, head) => {
    if (req.url !== '/mqtt') {
      socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n')
      return
    }
    wss.handleUpgrade(req, socket, head, (conn) => serve(conn))
  })
  return listen(server)
}

function listen (server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)))
}

async function main () {
  const pem = cert ? { cert: fs.readFileSync(cert), key: fs.readFileSync(key) } : null
  const tcp = aedes ? await listen(net.createServer(aedes.handle)) : 0
  const ws = await listenWebSocket(http.createServer())
  const secure = pem ? await listenWebSocket(https.createServer(pem)) : 0
  const secureTcp = aedes && pem ? await listen(tls.createServer(pem, aedes.handle)) : 0
  process.stdout.write(`ready ${tcp} ${ws} ${secure} ${secureTcp}\n`)
}

main().catch((e) => { console.error(e); process.exit(1) })
