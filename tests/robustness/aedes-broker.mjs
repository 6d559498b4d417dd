// A private aedes broker on loopback, retained messages in memory:
//   node aedes-broker.mjs PORT NODE_MODULES
import { createRequire } from 'node:module'
import net from 'node:net'
import path from 'node:path'
import { pathToFileURL } from 'node:url'

const [port, modules] = process.argv.slice(2)
const entry = createRequire(path.join(modules, 'index.js')).resolve('aedes')
const aedes = await import(pathToFileURL(entry))
// 1.x (Node.js 20 on) exports the class; 0.x, for an older Node.js, a factory.
const broker = aedes.Aedes?.createBroker ? await aedes.Aedes.createBroker() : aedes.default()
broker.on('clientError', (client, err) => console.log(`client ${client.id}: ${err.message}`))
net.createServer(broker.handle).listen(Number(port), '127.0.0.1', () => console.log(`listening on ${port}`))
