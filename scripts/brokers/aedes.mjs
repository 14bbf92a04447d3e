// An Aedes broker on 127.0.0.1 for the broker checks: node aedes.mjs PORT, run
// from a folder where "npm install aedes" was done (aedes.sh does both).
import net from 'node:net'
import { createRequire } from 'node:module'
import path from 'node:path'

const port = Number(process.argv[2] || 1883)
const require = createRequire(path.join(process.cwd(), 'x.js'))
const { Aedes } = await import(require.resolve('aedes'))
const aedes = await Aedes.createBroker()
const server = net.createServer(aedes.handle)
server.listen(port, '127.0.0.1', () => console.log('aedes listening on 127.0.0.1:' + port))
process.on('SIGTERM', () => { server.close(); aedes.close(() => process.exit(0)) })
