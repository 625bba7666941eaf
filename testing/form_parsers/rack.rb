#!/usr/bin/ruby --disable-gems
# A login application that reads the form with Rack (Request#POST, as a
# Rack application's params) under Rack's own CGI handler. Prints what it
# read as JSON, as parse_qs.py does.
# Debian installs Rack as a gem: its folder is put on the load path by hand,
# as RubyGems would triple the start-up time of every request.
$LOAD_PATH.unshift(*Dir['/usr/share/rubygems-integration/all/gems/rack-*/lib'])
require 'json'
require 'rack'
require 'rack/handler/cgi'

# JSON wants UTF-8: every byte as its Latin-1 character.
def plain(v)
  case v
  when Hash then v.to_h { |k, x| [plain(k), plain(x)] }
  when Array then v.map { |x| plain(x) }
  when String then v.b.force_encoding('ISO-8859-1').encode('UTF-8')
  else v
  end
end

app = lambda do |env|
  form = Rack::Request.new(env).POST
  read = %w[username domain result password].to_h { |k| [k, form[k]] }
  [200, { 'Content-Type' => 'application/json' }, [JSON.generate(plain('read' => read, 'all' => form))]]
rescue StandardError => e
  [400, { 'Content-Type' => 'text/plain' }, ["#{e.class}\n"]]
end

Rack::Handler::CGI.run(app)
